// A TCP client whose main thread ends while another thread holds the
// connection: thread_exit_client PORT PIDFILE pthread|syscall. The other
// thread writes the process's id to PIDFILE once connected.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static int port;
static const char* pidFile;

static void* holdConnection(void* unused)
{
    (void)unused;
    alarm(120);  // should the test end without ending it
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
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
    for (;;)
        pause();
}

int main(int argc, char** argv)
{
    if (argc != 4)
        return 1;
    port = atoi(argv[1]);
    pidFile = argv[2];
    pthread_t worker;
    if (pthread_create(&worker, NULL, holdConnection, NULL) != 0)
        return 1;
    if (argv[3][0] == 's')
        syscall(SYS_exit, 0);  // this thread alone
    pthread_exit(NULL);
}
