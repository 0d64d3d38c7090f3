// libFuzzer target: any bytes as a cassette, through the stand-in's reader
// (every record, as `zqstub_cassette_check` reads it) and then through the
// replay engine, driven by the calls the file itself records so that its
// answers and events are handed out.  Every reply and event payload handed
// back is read to its last byte: a length past the bytes behind it is an
// AddressSanitizer report.  Run by tests/reliability/fuzz.sh.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cassette_reader.h"
#include "core_api.h"
#include "standin.h"

namespace {

using namespace standin::cassette;

volatile unsigned g_sink;  // what the reads add up to, so that none is optimised away

void touch(const void* p, long n) {
    const auto* b = static_cast<const unsigned char*>(p);
    unsigned s = 0;
    for (long i = 0; p && i < n; ++i) s += b[i];
    g_sink = g_sink + s;
}

int g_depth = 0;

void place(const char* req, int len) {
    void* res = nullptr;
    int res_len = 0;
    zqi_place_order_pb(const_cast<char*>(req), len, &res, &res_len);
    touch(res, res_len);
}

// The handler: reads what it is given, and makes a call of its own now and then,
// as a strategy's handler does.
void on_event(const char* msg_type, void* data, int data_len) {
    if (msg_type) touch(msg_type, static_cast<long>(std::strlen(msg_type)));
    touch(data, data_len);
    if (g_depth < 4 && data && data_len > 0 && static_cast<const char*>(data)[0] == 'n') {
        ++g_depth;
        place(static_cast<const char*>(data), data_len);
        --g_depth;
    }
}

// One recorded call made again, with its recorded arguments where it has them.
void make(const Record& r) {
    Cursor c = r.payload();
    c.get<uint64_t>(), c.get<uint32_t>(), c.get<uint64_t>();
    std::string fn(c.str16());
    unsigned n = c.get<uint8_t>();
    Value v[kMaxArgs];
    for (unsigned i = 0; i < n && i < kMaxArgs; ++i) v[i] = c.value();
    std::string text = v[0].p ? std::string(v[0].p, static_cast<size_t>(v[0].len)) : std::string();
    if ((fn == "zqi_place_order_pb" || fn == "zqi_log_pb") && v[0].tag == BUF) {
        if (fn == "zqi_log_pb") zqi_log_pb(const_cast<char*>(text.data()), static_cast<int>(text.size()));
        else place(text.data(), static_cast<int>(text.size()));
    } else if (fn == "zqi_get_serv_addr") {
        char* addr = nullptr;
        zqi_get_serv_addr(text.c_str(), &addr);
        if (addr) touch(addr, static_cast<long>(std::strlen(addr)));
    } else if (fn == "zqi_strerror") {
        const char* s = zqi_strerror(static_cast<int>(v[0].i));
        if (s) touch(s, static_cast<long>(std::strlen(s)));
    } else if (fn == "zqi_now") {
        g_sink = g_sink + static_cast<unsigned>(zqi_now());
    } else {
        zqi_init();
    }
}

}  // namespace

// One thread replays here: a recorded call never waits for other threads' calls.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZQ_CASSETTE_WAIT_MS", "0", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/zq-cassette-fuzz-" + std::to_string(getpid()) + ".zqc";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    for (size_t done = 0; done < size;) {
        ssize_t k = ::write(fd, data + done, size - done);
        if (k <= 0) abort();
        done += static_cast<size_t>(k);
    }
    ::close(fd);

    unsigned long long counts[3];
    char text[512];
    zqstub_cassette_check(path.c_str(), counts, text, sizeof text);

    zqstub_take_control();
    zqstub_set_logging(0);
    zqi_set_event_callback_pb(on_event);
    if (zqstub_replay_open(path.c_str(), nullptr) == 0) {
        Reader calls;
        Record r;
        int made = 0;
        if (calls.open(path).empty())
            while (made < 64 && calls.next(r))
                if (r.kind == CALL) make(r), ++made;
        place("unrecorded", 10);  // past the recording's end
        zqstub_replay_close();
        const char* report = zqstub_replay_report();
        touch(report, static_cast<long>(std::strlen(report)));
    } else {
        touch(zqstub_replay_error(), static_cast<long>(std::strlen(zqstub_replay_error())));
    }
    zqi_set_event_callback_pb(nullptr);
    return 0;
}
