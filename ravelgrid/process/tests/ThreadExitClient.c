// A TCP client whose connection another thread than its main one holds:
// thread_exit_client PORT PIDFILE MODE [COMMAND]. The other thread writes
// the process's id to PIDFILE once connected, then runs COMMAND, which does
// not inherit the connection, and exits with its status. MODE:
//   pthread, syscall  the main thread ends (pthread_exit, or the raw exit of
//                     that thread alone) while the other holds the connection
//   table             the other thread has a table of descriptors of its own
//                     (unshare), which alone holds the connection; a third,
//                     idle, started before it, keeps the first table
//   table-pthread     the same, and the main thread ends
//   handover          the main thread ends and the threads hand the process
//                     over to each other: each starts the next and ends (no
//                     COMMAND)
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int port;
static const char* pidFile;
static const char* mode;
static const char* command;

static void* handOver(void* unused)
{
    (void)unused;
    // Long enough for a read of /proc to begin through this thread, short
    // enough that many end while one is under way.
    const struct timespec nap = {0, 200 * 1000};
    nanosleep(&nap, NULL);
    pthread_t next;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    while (pthread_create(&next, &attributes, handOver, NULL) != 0)
        nanosleep(&nap, NULL);
    return NULL;
}

static void* idle(void* unused)
{
    while (pause() != 0)
        ;
    return unused;
}

static void* holdConnection(void* unused)
{
    (void)unused;
    // Only should the test end without ending it: far beyond any test's limit.
    alarm(3600);
    if (strncmp(mode, "table", 5) == 0 && unshare(CLONE_FILES) != 0)
        _exit(5);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0)
        _exit(2);
    char temporary[4096];
    snprintf(temporary, sizeof temporary, "%s.tmp", pidFile);
    FILE* out = fopen(temporary, "w");
    if (!out || fprintf(out, "%d\n", (int)getpid()) < 0 || fclose(out) != 0 || rename(temporary, pidFile) != 0)
        _exit(3);
    if (strcmp(mode, "handover") == 0)
        return handOver(NULL);
    if (command) {
        const int status = system(command);
        _exit(status == -1 || !WIFEXITED(status) ? 4 : WEXITSTATUS(status));
    }
    for (;;)
        pause();
}

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5)
        return 1;
    command = argc == 5 ? argv[4] : NULL;
    port = atoi(argv[1]);
    pidFile = argv[2];
    mode = argv[3];
    pthread_t worker;
    if (strncmp(mode, "table", 5) == 0 && pthread_create(&worker, NULL, idle, NULL) != 0)
        return 1;
    if (pthread_create(&worker, NULL, holdConnection, NULL) != 0)
        return 1;
    if (strcmp(mode, "table") == 0)
        for (;;)
            pause();
    if (strcmp(mode, "syscall") == 0)
        syscall(SYS_exit, 0);  // this thread alone
    pthread_exit(NULL);
}
