// The replay engine's parts, shared by its three files: replay.cpp (matching
// calls to the recording, thread by thread), replay_report.cpp (the
// divergences and their text) and replay_api.cpp (the control API, the
// launcher's variables).
//
// A recording holds the records of every thread that called the core, in the
// order they were written.  Each recorded thread is a lane: its records, in
// order, nest like parentheses.  The file is read ahead only as far as a lane
// needs; what is read and not yet used waits in its lane.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "cassette_reader.h"
#include "replay.h"
#include "replay_rules.h"

namespace standin::replay {

using cassette::Record;

// A recorded CALL, its values pointing into the record it was read from.
struct RecordedCall {
    uint64_t seq = 0;
    uint32_t thread = 0;
    std::string_view fn;
    Value args[Args::kMax];
    int n = 0;
    bool parse(const Record& r);
    std::string text() const { return "#" + std::to_string(seq) + " " + preview(fn, args, n); }
};

// A record read from the file and not used yet.
struct Item {
    Record rec;
    uint64_t index = 0;  // its place in the file: the records before it
    uint64_t seq = 0;    // CALL, RETURN: its call; EVENT: the call it came during (0: none)
};

// One recorded thread.
struct Lane {
    uint32_t thread = 0;
    std::deque<Item> ahead;         // its records read and not used yet, in order
    std::vector<uint64_t> reading;  // calls whose CALL was read and whose RETURN was not
    struct Open {
        uint64_t seq;
        const char* fn;  // the stand-in's name of the function: it outlives every call
        std::string text() const { return "#" + std::to_string(seq) + " " + fn; }
    };
    std::vector<Open> open;  // calls matched and not returned: a thread of the program is inside them
    bool delivering = false; // an event outside any call is being delivered
    bool idle() const { return open.empty() && !delivering; }
};

// The divergences, in the order they happened.
class Divergences {
public:
    static constexpr size_t kMaxReported = 200;  // described in full; the rest are counted

    void clear();
    size_t count() const { return count_; }
    // One divergence; `expected_full` and `received_full` give every argument, secrets withheld.
    void add(std::string what, std::string expected = "", std::string received = "", std::string expected_full = "",
             std::string received_full = "");
    // A recorded call never made: in full if it is the first divergence, else
    // counted into one line for all of them.
    void unmade(const RecordedCall& rc, const std::string& instead);
    std::string report(const std::string& path) const { return text(path, false); }
    std::string full_report(const std::string& path) const { return text(path, true); }

private:
    struct Entry {
        std::string what, expected, received, expected_full, received_full;
    };
    std::vector<Entry> entries_;
    size_t count_ = 0;
    size_t unmade_at_ = SIZE_MAX;  // the entry summing up the calls never made after the first divergence
    uint64_t unmade_first_ = 0, unmade_last_ = 0, unmade_count_ = 0;
    std::map<std::string, uint64_t, std::less<>> unmade_fns_;
    std::string unmade_line() const;
    std::string text(const std::string& path, bool full) const;
};

// The secret arguments among args, the ones the recording tap writes as
// secrets, turned into secret values: kept out of every report.
void withhold_secrets(std::string_view fn, Value* args, int n);
// Every argument of a call, one a line, secrets withheld.
std::string full_call(std::string_view fn, const Value* args, int n);
// The divergence line's "(argument A, byte B)" part, and both sides' previews;
// with masks, both sides are shown masked and B is a byte of the masked text.
struct Contrast {
    std::string where, expected, received;
};
Contrast contrast(const RecordedCall& rc, const char* fn, const Args& args, Difference d, const Rule* own,
                  const Rule* all);

class Engine {
public:
    static constexpr size_t kWindow = 10000;  // how many records are read ahead looking for a call

    ~Engine() { finish_at_exit(); }

    std::string open(const std::string& path, const std::string& rules);
    bool call(const char* fn, const Args& args, Answer& answer);
    int close();
    bool active() const { return state() == kActive; }
    std::string report() {
        std::lock_guard<std::mutex> lk(mu_);
        return div_.report(path_);
    }
    std::string full_report() {
        std::lock_guard<std::mutex> lk(mu_);
        return div_.full_report(path_);
    }
    void check_environment();

private:
    using Lock = std::unique_lock<std::mutex>;
    Lane& lane(uint32_t thread);
    bool fetch();
    Item* front(Lane& l);
    Item* at(Lane& l, size_t i);
    size_t after_call(Lane& l, size_t i);
    void pop(Lane& l);
    bool dispatch(Lock& lk, const char* fn, const Args& args, Answer& answer);  // call(), its arguments scrubbed
    bool match_top(Lock& lk, const char* fn, const Args& args, uint64_t n, Answer& answer);
    bool match_in(Lock& lk, Lane& l, const char* fn, const Args& args, uint64_t n, Answer& answer);
    bool take(Lock& lk, Lane& l, const char* fn, Answer& answer);
    bool drain(Lock& lk, Lane& l, Answer& answer, uint64_t since);
    bool settle(Lock& lk, Lane& l, uint64_t before, uint64_t since);
    bool deliver(Lock& lk, Lane& l);
    void unused(Lane& l, const char* instead);
    bool optional(std::string_view fn) const;
    bool fits(const RecordedCall& rc, const Args& args) const;
    uint64_t later(Lane* only, const char* fn, const Args& args);
    std::string received(uint64_t n, const char* fn, const Args& args, Difference focus = {}) const;
    void finish_at_exit();

    std::mutex mu_;
    std::condition_variable moved_;  // a record was used: a waiting return may go on
    int waiting_ = 0;                // threads waiting on moved_
    cassette::Reader rd_;
    bool ended_ = false;           // the reader is past the last record it can give
    uint64_t read_ = 0;            // records read from the file
    size_t held_ = 0;              // records read and not used yet
    std::vector<std::unique_ptr<Lane>> lanes_;
    Lane* last_ = nullptr;         // the lane of the last record read
    std::vector<std::string> spare_;  // the bytes of used records, for the next ones
    Rules rules_;
    std::string path_, report_path_, full_report_path_;
    uint64_t received_ = 0;
    Divergences div_;
    std::unordered_set<uint64_t> early_;  // recorded calls already reported as made out of order
    uint64_t generation_ = 0;             // counts opens and closes: a delivery outlived by its replay stops
};

Engine& engine();

}  // namespace standin::replay
