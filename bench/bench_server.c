/*
 * kiv-bench-server: the Modbus/TCP server of the benchmark, built on
 * libmodbus. It serves coils 0..7 and holding registers 256..279 (what the
 * benchmark's reads and writes use) to any number of clients from one
 * thread, and prints one line once it listens:
 *   kiv-bench-server ready modbus 127.0.0.1:<port>
 * Usage: kiv-bench-server [PORT]   (default 0: a free port). SIGTERM ends it.
 */
#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

enum { max_clients = 32 };

static volatile sig_atomic_t stop;

static void on_signal(int sig)
{
    (void)sig;
    stop = 1;
}

int main(int argc, char **argv)
{
    const int port = argc > 1 ? atoi(argv[1]) : 0;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *map = modbus_mapping_new_start_address(0, 8, 0, 0, 256, 24, 0, 0);
    if (ctx == NULL || map == NULL) {
        fprintf(stderr, "kiv-bench-server: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 24; ++i)
        map->tab_registers[i] = (uint16_t)(0x0100 * i + 7);
    const int listener = modbus_tcp_listen(ctx, max_clients);
    if (listener < 0) {
        fprintf(stderr, "kiv-bench-server: listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    getsockname(listener, (struct sockaddr *)&addr, &len);

    struct sigaction sa = {0};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    printf("kiv-bench-server ready modbus 127.0.0.1:%d\n", ntohs(addr.sin_port));
    fflush(stdout);

    struct pollfd fds[1 + max_clients];
    int n = 1;
    fds[0].fd = listener;
    fds[0].events = POLLIN;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop) {
        if (poll(fds, (nfds_t)n, -1) < 0)
            continue;
        if ((fds[0].revents & POLLIN) && n < 1 + max_clients) {
            const int c = accept(listener, NULL, NULL);
            if (c >= 0) {
                fds[n].fd = c;
                fds[n].events = POLLIN;
                fds[n].revents = 0;
                ++n;
            }
        }
        for (int i = 1; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            modbus_set_socket(ctx, fds[i].fd);
            const int rc = modbus_receive(ctx, query);
            if (rc > 0) {
                modbus_reply(ctx, query, rc, map);
            } else if (rc < 0) {
                close(fds[i].fd);
                fds[i] = fds[--n];
                --i;
            }
        }
    }
    for (int i = 0; i < n; ++i)
        close(fds[i].fd);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
