// The replay engine (replay.h).  The cassette is walked in recorded order:
// a received call takes the next CALL record; the records up to its RETURN
// are its events (delivered, each followed by the calls its handler makes) and
// that answer.  The reader never holds more than the record in hand.
#pragma GCC visibility push(default)
#include "standin.h"  // the control API this file defines is exported
#pragma GCC visibility pop
#include "replay.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "replay_rules.h"

namespace standin::replay {

unsigned char g_state = kUnchecked;

namespace {

using cassette::Record;

constexpr size_t kMaxReported = 200;   // divergences described in full; the rest are counted
constexpr int kScoutRecords = 10000;   // how far ahead a call out of order is looked for

// A recorded CALL, its values pointing into the record it was read from.
struct RecordedCall {
    uint64_t seq = 0;
    std::string_view fn;
    Value args[Args::kMax];
    int n = 0;
    bool parse(const Record& r) {
        cassette::Cursor c = r.payload();
        seq = c.get<uint64_t>();
        c.get<uint32_t>();  // thread
        c.get<uint64_t>();  // start time
        fn = c.str16();
        int count = c.get<uint8_t>();
        n = 0;
        for (int i = 0; i < count && c.ok; ++i) {
            Value v = c.value();
            if (n < Args::kMax) args[n++] = v;
        }
        return c.ok;
    }
    std::string text() const { return "#" + std::to_string(seq) + " " + preview(fn, args, n); }
};

class Engine {
public:
    ~Engine() { finish_at_exit(); }

    std::string open(const std::string& path, const std::string& rules);
    bool call(const char* fn, const Args& args, Answer& answer);
    int close();
    bool active() const { return g_state == kActive; }
    std::string report() {
        std::lock_guard<std::mutex> lk(mu_);
        return report_locked();
    }
    void check_environment();

private:
    bool peek();
    void consume() { have_ = false; }
    bool drain(std::unique_lock<std::mutex>& lk, const RecordedCall& rc, Answer& answer);
    void deliver(std::unique_lock<std::mutex>& lk);
    void skip(uint64_t seq);
    void unused(const RecordedCall& rc, const char* instead);
    uint64_t scout(const char* fn, const Args& args);
    void diverge(std::string what, const std::string& expected, const std::string& received);
    std::string report_locked() const;
    void finish_at_exit();

    std::mutex mu_;
    cassette::Reader rd_;
    Record rec_;
    bool have_ = false;  // rec_ holds the next record, not yet consumed
    struct Open {
        uint64_t seq;
        const char* fn;  // the stand-in's name of the function: it outlives every call
        std::string text() const { return "#" + std::to_string(seq) + " " + fn; }
    };
    std::vector<Open> stack_;  // the recorded calls in progress
    Rules rules_;
    std::string path_, report_path_;
    uint64_t received_ = 0;
    size_t divergences_ = 0;
    std::string entries_;
    std::unordered_set<uint64_t> early_;  // recorded calls already reported as made out of order
    uint64_t generation_ = 0;             // counts opens and closes: a delivery outlived by its replay stops
};

Engine& engine() {
    static Engine e;
    return e;
}

std::string Engine::open(const std::string& path, const std::string& rules) {
    std::lock_guard<std::mutex> lk(mu_);
    g_state = kOff;
    ++generation_;
    path_ = path;
    rec_ = Record{}, have_ = false, stack_.clear(), received_ = 0, divergences_ = 0, entries_.clear(), early_.clear();
    std::string error = rules_.parse(rules);
    if (error.empty()) error = rd_.open(path);
    if (!error.empty()) {
        rd_.close();
        return path + ": " + error;
    }
    drop_scripting();
    g_state = kActive;
    return "";
}

// ZQ_CASSETTE_REPLAY at the first core call: the launcher's way in.  The
// variables are taken out of the environment, so that the processes this one
// starts run on the stand-in without replaying the cassette a second time.
void Engine::check_environment() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (g_state != kUnchecked) return;
        g_state = kOff;
    }
    const char* path = std::getenv("ZQ_CASSETTE_REPLAY");
    if (!path || !*path) return;
    const char* report = std::getenv("ZQ_CASSETTE_REPORT");
    const char* rules = std::getenv("ZQ_CASSETTE_MATCH");
    std::string p = path, r = rules ? rules : "";
    report_path_ = report ? report : "";
    for (const char* name : {"ZQ_CASSETTE_REPLAY", "ZQ_CASSETTE_REPORT", "ZQ_CASSETTE_MATCH"}) unsetenv(name);
    std::string error = open(p, r);
    if (!error.empty()) {
        fprintf(stderr, "libzq3-c.so: cannot replay %s\n", error.c_str());
        std::lock_guard<std::mutex> lk(mu_);
        diverge("cannot replay " + error, "", "");
    }
}

bool Engine::peek() {
    if (!have_) have_ = rd_.next(rec_);
    return have_;
}

void Engine::diverge(std::string what, const std::string& expected, const std::string& received) {
    if (++divergences_ > kMaxReported) return;
    entries_ += std::to_string(divergences_) + ". " + what + "\n";
    if (!expected.empty()) entries_ += "   expected: " + expected + "\n   received: " + received + "\n";
}

std::string Engine::report_locked() const {
    if (!divergences_) return "";
    std::string out = "replay of " + path_ + ": " + std::to_string(divergences_) +
                      (divergences_ == 1 ? " divergence\n" : " divergences\n") + entries_;
    if (divergences_ > kMaxReported)
        out += "... and " + std::to_string(divergences_ - kMaxReported) + " more\n";
    return out;
}

bool Engine::call(const char* fn, const Args& args, Answer& answer) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!active()) return false;
    uint64_t n = ++received_;
    auto received = [&](Difference focus = {}) {
        return "call " + std::to_string(n) + " " + preview(fn, args.v, args.n, focus);
    };
    // Events recorded outside any call come before the next call; a stray
    // RETURN out there is passed over.
    uint64_t gen = generation_;
    while (stack_.empty() && peek() && rec_.kind != cassette::CALL && rec_.kind != cassette::END) {
        if (rec_.kind == cassette::EVENT) deliver(lk);
        else consume();
        if (gen != generation_) return false;
    }
    if (!peek()) {
        std::string end = rd_.damage().empty() ? "the end of the recording" : "the end of the readable part, " + rd_.damage();
        diverge("call " + std::to_string(n) + " " + fn + " is not in the recording", end, received());
        return false;
    }
    if (rec_.kind != cassette::CALL) {
        std::string next = rec_.kind == cassette::END ? "the end of the recording"
                         : rec_.kind == cassette::RETURN ? "no call: " + stack_.back().text() + " returns here"
                                                         : "no call: " + stack_.back().text() + " delivers its next event here";
        if (uint64_t later = scout(fn, args))
            diverge("call " + std::to_string(n) + " " + fn + " is out of order: the recording has it later, as #" +
                    std::to_string(later), next, received());
        else
            diverge("call " + std::to_string(n) + " " + fn + " is not in the recording", next, received());
        return false;
    }
    RecordedCall rc;
    if (!rc.parse(rec_)) {  // a record that passed its checksum but does not parse: skip it
        consume();
        diverge("recorded call at byte " + std::to_string(rec_.offset) + " is malformed", "", "");
        return false;
    }
    const Rule *own, *all;
    rules_.find(rc.fn, own, all);
    Difference d = compare(rc.args, rc.n, args, own, all);
    if (d.arg >= 0 && secret_argument(rc.fn, d.arg)) d.byte = -1;  // not even where a secret differs
    if (d.arg >= 0 && rc.fn == fn) {
        // The same function with other arguments: reported, and answered as
        // recorded so that the rest of the run stays in step.
        std::string where = "argument " + std::to_string(d.arg) + (d.byte >= 0 ? ", byte " + std::to_string(d.byte) : "");
        diverge("call " + std::to_string(n) + " " + fn + " differs from recorded call #" + std::to_string(rc.seq) +
                " (" + where + ")", "#" + std::to_string(rc.seq) + " " + preview(rc.fn, rc.args, rc.n, d), received(d));
    } else if (d.arg >= 0 || rc.fn != fn) {
        if (uint64_t later = scout(fn, args)) {
            early_.insert(later);
            diverge("call " + std::to_string(n) + " " + fn + " is out of order: the recording has it later, as #" +
                    std::to_string(later), rc.text(), received());
        } else {
            diverge("call " + std::to_string(n) + " " + fn + " is not in the recording", rc.text(), received());
        }
        return false;
    }
    consume();
    stack_.push_back(Open{rc.seq, fn});
    return drain(lk, rc, answer);
}

// The records of a matched call up to its RETURN.
bool Engine::drain(std::unique_lock<std::mutex>& lk, const RecordedCall& call, Answer& answer) {
    uint64_t seq = call.seq, gen = generation_;
    const Open me = stack_.back();
    for (;;) {
        if (!peek()) break;
        if (rec_.kind == cassette::EVENT) {
            deliver(lk);
            if (gen != generation_) return false;  // the handler closed or reopened the replay
        } else if (rec_.kind == cassette::CALL) {
            RecordedCall nested;
            bool ok = nested.parse(rec_);
            consume();
            if (ok) unused(nested, "no call: the handler returned");
        } else if (rec_.kind == cassette::RETURN) {
            cassette::Cursor c = rec_.payload();
            uint64_t s = c.get<uint64_t>();
            consume();
            if (s != seq) continue;  // a stray RETURN: not this call's
            c.get<uint64_t>();       // duration
            answer.result = c.value();
            if (answer.result.tag == cassette::TEXT) {
                answer.text_null = !answer.result.p;
                answer.text.assign(answer.result.p ? answer.result.p : "", answer.result.p ? answer.result.len : 0);
            }
            answer.has_out = c.get<uint8_t>() != 0;
            if (answer.has_out) {
                answer.out_len = c.get<int32_t>();
                const char* data;
                int32_t len;
                c.blob(data, len);
                answer.out_null = !data && answer.out_len >= 0;
                answer.out.assign(data ? data : "", data ? static_cast<size_t>(len) : 0);  // no allocation once it has room
            }
            answer.result.p = nullptr;  // it pointed into the record
            stack_.pop_back();
            if (!c.ok) diverge("recorded answer of " + me.text() + " is malformed", "", "");
            return c.ok;
        } else {
            break;  // END, or a HEADER out of place: the recording ends inside this call
        }
    }
    diverge("the recording ends inside " + me.text() + ": its answer is the stand-in's",
            rd_.damage().empty() ? "the end of the recording" : "the end of the readable part, " + rd_.damage(),
            "the rest of " + me.text());
    stack_.pop_back();
    return false;
}

// Delivers the EVENT in hand, with the lock released: the handler's calls take their turn.
void Engine::deliver(std::unique_lock<std::mutex>& lk) {
    cassette::Cursor c = rec_.payload();
    c.get<uint64_t>(), c.get<uint32_t>(), c.get<uint64_t>();  // during, thread, time
    const char *type, *data;
    int32_t type_len, data_len;
    c.blob(type, type_len);
    int32_t handed = c.get<int32_t>();
    c.blob(data, data_len);
    consume();
    if (!c.ok) {
        diverge("recorded event at byte " + std::to_string(rec_.offset) + " is malformed", "", "");
        return;
    }
    // Copies that outlive the records the handler's calls read.
    std::string t(type ? type : "", type ? static_cast<size_t>(type_len) : 0);
    std::string d(data ? data : "", data ? static_cast<size_t>(data_len) : 0);
    EventCallback cb = event_callback();
    if (!cb) return;
    lk.unlock();
    cb(type ? t.c_str() : nullptr, data ? &d[0] : nullptr, handed);
    lk.lock();
}

// Consumes the records of a recorded call up to its RETURN, delivering nothing.
void Engine::skip(uint64_t seq) {
    while (peek()) {
        bool done = false;
        if (rec_.kind == cassette::RETURN) {
            cassette::Cursor c = rec_.payload();
            done = c.get<uint64_t>() == seq;
        }
        consume();
        if (done) return;
    }
}

void Engine::unused(const RecordedCall& rc, const char* instead) {
    if (!early_.erase(rc.seq))
        diverge("recorded call #" + std::to_string(rc.seq) + " " + std::string(rc.fn) + " was never made", rc.text(),
                instead);
    skip(rc.seq);
}

// The seq of a recorded call ahead (within kScoutRecords) that the received call matches; 0 if none.
uint64_t Engine::scout(const char* fn, const Args& args) {
    if (divergences_ >= kMaxReported) return 0;  // past what the report describes, a divergence is only counted
    cassette::Reader ahead;
    if (!ahead.open(path_).empty()) return 0;
    ahead.seek(have_ ? rec_.offset : rd_.tell(), have_ ? rd_.index() - 1 : rd_.index());
    Record r;
    RecordedCall rc;
    for (int i = 0; i < kScoutRecords && ahead.next(r); ++i) {
        if (r.kind != cassette::CALL || !rc.parse(r) || rc.fn != fn || early_.count(rc.seq)) continue;
        const Rule *own, *all;
        rules_.find(rc.fn, own, all);
        if (compare(rc.args, rc.n, args, own, all).arg < 0) return rc.seq;
    }
    return 0;
}

// Ends the replay: the recorded calls never made are divergences too.
int Engine::close() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!active()) return static_cast<int>(divergences_);
    RecordedCall rc;
    while (peek()) {
        if (rec_.kind == cassette::CALL && rc.parse(rec_)) {
            consume();
            unused(rc, "no call: the run ended");
        } else {
            consume();
        }
    }
    rd_.close();
    stack_.clear();
    g_state = kOff;
    ++generation_;
    return static_cast<int>(divergences_ > 2147483647u ? 2147483647u : divergences_);
}

// At exit: a replay the launcher started writes its report (an empty file: no divergence).
void Engine::finish_at_exit() {
    if (report_path_.empty()) return;
    close();
    std::string text = report();
    if (FILE* f = fopen(report_path_.c_str(), "w")) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

}  // namespace

bool call(const char* fn, const Args& args, Answer& answer) {
    Engine& e = engine();
    if (g_state == kUnchecked) e.check_environment();
    try {
        return e.call(fn, args, answer);
    } catch (const std::exception&) {  // out of memory, or a pattern too complex to run: the default answer
        return false;
    }
}

}  // namespace standin::replay

using standin::replay::engine;

namespace {
std::string g_error, g_report;  // what zqstub_replay_error and zqstub_replay_report handed out last
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
