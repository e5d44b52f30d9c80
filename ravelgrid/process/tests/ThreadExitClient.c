// A TCP client whose main thread ends while another thread holds the
// connection: thread_exit_client PORT PIDFILE pthread|syscall [COMMAND]. The
// other thread writes the process's id to PIDFILE once connected, then runs
// COMMAND, which does not inherit the connection, and exits with its status.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

static int port;
static const char* pidFile;
static const char* command;

static void* holdConnection(void* unused)
{
    (void)unused;
    alarm(120);  // should the test end without ending it
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
    pthread_t worker;
    if (pthread_create(&worker, NULL, holdConnection, NULL) != 0)
        return 1;
    if (argv[3][0] == 's')
        syscall(SYS_exit, 0);  // this thread alone
    pthread_exit(NULL);
}
