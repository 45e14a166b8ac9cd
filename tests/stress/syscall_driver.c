/*
 * Runs N calls of one kind against a module and nothing else in between, so
 * that a tracer sees only the calls' own system calls. getppid() marks the
 * start and the end of the run (the library never makes it).
 *   kiv_syscall_driver MODE ADDRESS PORT N
 * MODE: ai_read, zrm7301_ai_read, do_read, di_read, do_write, do_write_single,
 * modbus_timeout (a module that answers late: every call times out),
 * request_response, cfg_get, cfg_set (PORT is then the configuration port).
 * Exit status 0 when every call gave what it should, 1 otherwise, 2 for bad
 * arguments.
 */
#include "kiv.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int run(const char *mode, int h, int n)
{
    unsigned char buf[256];
    char answer[257];
    int len = 0;
    int bad = 0;
    for (int i = 0; i < n; ++i) {
        int rc;
        int want = KIV_OK;
        unsigned char bits = (unsigned char)i;
        if (strcmp(mode, "ai_read") == 0) {
            rc = KIV_AI_Read(h, 1000, 256, 24, buf, (int)sizeof buf, &len);
        } else if (strcmp(mode, "zrm7301_ai_read") == 0) {
            rc = KIV_ZRM_7301_AI_Read(h, 1000, 1, 8, buf, (int)sizeof buf, &len);
        } else if (strcmp(mode, "do_read") == 0) {
            rc = KIV_DO_Read(h, 1000, 0, 8, buf, (int)sizeof buf, &len);
        } else if (strcmp(mode, "di_read") == 0) {
            rc = KIV_DI_Read(h, 1000, 0, 16, buf, (int)sizeof buf, &len);
        } else if (strcmp(mode, "do_write") == 0) {
            rc = KIV_DO_Write(h, 1000, 0, 8, &bits, 1);
        } else if (strcmp(mode, "do_write_single") == 0) {
            bits &= 1;
            rc = KIV_DO_Write(h, 1000, 0, 1, &bits, 1);
        } else if (strcmp(mode, "modbus_timeout") == 0) {
            rc = KIV_AI_Read(h, 20, 256, 24, buf, (int)sizeof buf, &len);
            want = KIV_ERR_TIMEOUT;
        } else if (strcmp(mode, "request_response") == 0) {
            rc = request_response(h, 1000, "G:ai_en=\r\n", answer, &len);
        } else if (strcmp(mode, "cfg_get") == 0) {
            rc = KIV_Cfg_Get_AI_Enable(h, 1000, 0, 8, buf, (int)sizeof buf, &len);
        } else if (strcmp(mode, "cfg_set") == 0) {
            rc = KIV_Cfg_Set_AI_Enable(h, 1000, 0, 8, i & 0xFF, buf, (int)sizeof buf, &len);
        } else {
            return -1;
        }
        if (rc != want)
            ++bad;
    }
    return bad;
}

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    const char *mode = argv[1];
    const int port = atoi(argv[3]);
    const int n = atoi(argv[4]);
    const int cfg = strncmp(mode, "cfg_", 4) == 0 || strcmp(mode, "request_response") == 0;
    int h = -1;
    int rc = cfg ? KIV_Cfg_Login(argv[2], port, 2000, "", &h) : KIV_Connect(argv[2], port, 2000, &h);
    if (rc != KIV_OK) {
        fprintf(stderr, "cannot connect: %d\n", rc);
        return 1;
    }
    (void)getppid();
    const int bad = run(mode, h, n);
    (void)getppid();
    KIV_Close(h);
    if (bad != 0) {
        fprintf(stderr, bad < 0 ? "unknown mode %s\n" : "%s: calls failed\n", mode);
        return bad < 0 ? 2 : 1;
    }
    return 0;
}
