/* The measuring half of bench/cassette.py (which builds and runs it).
 *
 *   cassette_driver calls STANDIN [TAP] N      N reply calls, each timed
 *   cassette_driver flush STANDIN TAP FILE K   K times: one call, then how long
 *                                              until the cassette FILE grows
 *
 * A call is zqi_place_order_pb with a 100-byte request (q...q, or the text of
 * BENCH_REQUEST padded with q); the stand-in echoes it as a 100-byte reply.  With TAP the call goes through the cassette tap
 * (ZQ_TAP_CORE and ZQ_CASSETTE_RECORD come from the environment).  The
 * stand-in's call log is off, as in the module's benchmarks.  `calls` prints
 * in ns the mean of the calling thread's CPU time per call (what the call
 * costs, without the time the machine gave other processes), the mean by the
 * clock, and the 50th/99th/99.9th percentiles by the clock; `flush` the mean
 * and the largest delay in ms.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

typedef int (*reply_fn)(void*, int, void**, int*);

static double clock_ns(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}
static double now_ns(void) { return clock_ns(CLOCK_MONOTONIC); }

static void* open_or_die(const char* path) {
    void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        fprintf(stderr, "cassette_driver: %s\n", dlerror());
        exit(2);
    }
    return h;
}

static reply_fn setup(const char* standin, const char* tap) {
    void* core = open_or_die(standin);
    void (*logging)(int) = (void (*)(int))dlsym(core, "zqstub_set_logging");
    void (*control)(void) = (void (*)(void))dlsym(core, "zqstub_take_control");
    if (logging) logging(0);
    if (control) control();
    return (reply_fn)dlsym(tap ? open_or_die(tap) : core, "zqi_place_order_pb");
}

static int cmp(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static int calls(reply_fn fn, long n) {
    unsigned char req[100];
    memset(req, 'q', sizeof req);
    const char* given = getenv("BENCH_REQUEST");
    if (given) memcpy(req, given, strlen(given) < sizeof req ? strlen(given) : sizeof req);
    double* t = malloc(sizeof(double) * (size_t)n);
    void* res;
    int res_len;
    for (long i = 0; i < n / 10; i++) fn(req, sizeof req, &res, &res_len); /* warm up */
    double total = 0, cpu0 = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    for (long i = 0; i < n; i++) {
        double t0 = now_ns();
        fn(req, sizeof req, &res, &res_len);
        t[i] = now_ns() - t0;
        total += t[i];
    }
    double cpu = (clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu0) / n;
    qsort(t, (size_t)n, sizeof(double), cmp);
    printf("%.1f %.1f %.1f %.1f %.1f\n", cpu, total / n, t[n / 2], t[n * 99 / 100], t[n * 999 / 1000]);
    free(t);
    return 0;
}

static long size_of(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

static int flush(reply_fn fn, const char* file, int k) {
    unsigned char req[100] = {0};
    void* res;
    int res_len;
    double total = 0, worst = 0;
    srand(7);
    fn(req, sizeof req, &res, &res_len);
    usleep(200000);
    for (int i = 0; i < k; i++) {
        usleep((useconds_t)(rand() % 60000)); /* any phase of the writer's period */
        long before = size_of(file);
        double t0 = now_ns();
        fn(req, sizeof req, &res, &res_len);
        while (size_of(file) == before) usleep(200);
        double ms = (now_ns() - t0) / 1e6;
        total += ms;
        if (ms > worst) worst = ms;
    }
    printf("%.2f %.2f\n", total / k, worst);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && !strcmp(argv[1], "calls")) return calls(setup(argv[2], NULL), atol(argv[3]));
    if (argc == 5 && !strcmp(argv[1], "calls")) return calls(setup(argv[2], argv[3]), atol(argv[4]));
    if (argc == 6 && !strcmp(argv[1], "flush")) return flush(setup(argv[2], argv[3]), argv[4], atoi(argv[5]));
    fprintf(stderr, "usage: see bench/cassette.py\n");
    return 2;
}
