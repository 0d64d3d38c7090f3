// Replay's ways in (replay.h, standin.h): a core call's one entry, the
// control API, and the launcher's variables, read at the first core call and
// answered at exit.
#pragma GCC visibility push(default)
#include "standin.h"  // the control API this file defines is exported
#pragma GCC visibility pop
#include "replay_engine.h"

#include <cstdio>
#include <cstdlib>

namespace standin::replay {

// ZQ_CASSETTE_REPLAY at the first core call: the launcher's way in.  The
// variables are taken out of the environment, so that the processes this one
// starts run on the stand-in without replaying the cassette a second time.
void Engine::check_environment() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (state() != kUnchecked) return;
        set_state(kOff);
    }
    const char* path = std::getenv("ZQ_CASSETTE_REPLAY");
    if (!path || !*path) return;
    const char* report = std::getenv("ZQ_CASSETTE_REPORT");
    const char* full = std::getenv("ZQ_CASSETTE_FULL_REPORT");
    const char* rules = std::getenv("ZQ_CASSETTE_MATCH");
    std::string p = path, r = rules ? rules : "";
    report_path_ = report ? report : "";
    full_report_path_ = full ? full : "";
    for (const char* name : {"ZQ_CASSETTE_REPLAY", "ZQ_CASSETTE_REPORT", "ZQ_CASSETTE_FULL_REPORT", "ZQ_CASSETTE_MATCH"})
        unsetenv(name);
    std::string error = open(p, r);
    if (!error.empty()) {
        fprintf(stderr, "libzq3-c.so: cannot replay %s\n", error.c_str());
        std::lock_guard<std::mutex> lk(mu_);
        div_.add("cannot replay " + error);
    }
}

namespace {

void write_file(const std::string& path, const std::string& text) {
    if (FILE* f = fopen(path.c_str(), "w")) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

}  // namespace

// At exit: a replay the launcher started writes its reports (an empty file: no divergence).
void Engine::finish_at_exit() {
    if (report_path_.empty() && full_report_path_.empty()) return;
    close();
    if (!report_path_.empty()) write_file(report_path_, report());
    if (!full_report_path_.empty()) write_file(full_report_path_, full_report());
}

bool call(const char* fn, const Args& args, Answer& answer) {
    Engine& e = engine();
    if (state() == kUnchecked) e.check_environment();
    try {
        return e.call(fn, args, answer);
    } catch (const std::exception&) {  // out of memory, or a pattern too complex to run: the default answer
        return false;
    }
}

}  // namespace standin::replay

using standin::replay::engine;

namespace {
std::string g_error, g_report;  // what zqstub_replay_error and the reports handed out last
}

extern "C" {

int zqstub_replay_open(const char* path, const char* rules) {
    try {
        g_error = engine().open(path ? path : "", rules ? rules : "");
    } catch (const std::exception& e) {
        g_error = e.what();
    }
    return g_error.empty() ? 0 : -1;
}

const char* zqstub_replay_error(void) { return g_error.c_str(); }

int zqstub_replay_close(void) {
    try {
        return engine().close();
    } catch (const std::exception&) {
        return -1;
    }
}

const char* zqstub_replay_report(void) {
    g_report = engine().report();
    return g_report.c_str();
}

const char* zqstub_replay_full_report(void) {
    g_report = engine().full_report();
    return g_report.c_str();
}

int zqstub_replay_active(void) { return engine().active(); }

const char* zqstub_replay_check(const char* rules) {
    static thread_local std::string error;
    try {
        error = standin::replay::Rules().parse(rules ? rules : "");
    } catch (const std::exception& e) {
        error = e.what();
    }
    return error.c_str();
}

}  // extern "C"
