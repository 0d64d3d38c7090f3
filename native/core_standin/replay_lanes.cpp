// Replay's reading of a recording (replay_engine.h): each record read into
// the lane of the thread that made it, only as far as a lane needs; opening
// and closing a replay.
#include "replay_engine.h"

namespace standin::replay {

bool RecordedCall::parse(const Record& r) {
    cassette::Cursor c = r.payload();
    seq = c.get<uint64_t>();
    thread = c.get<uint32_t>();
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

Engine& engine() {
    static Engine e;
    return e;
}

std::string Engine::open(const std::string& path, const std::string& rules) {
    std::lock_guard<std::mutex> lk(mu_);
    set_state(kOff);
    ++generation_;
    moved_.notify_all();
    path_ = path;
    lanes_.clear(), last_ = nullptr, held_ = 0, read_ = 0, ended_ = false;
    received_ = 0, div_.clear(), early_.clear();
    std::string error = rules_.parse(rules);
    if (error.empty()) error = rd_.open(path);
    if (!error.empty()) {
        rd_.close();
        return path + ": " + error;
    }
    drop_scripting();
    set_state(kActive);
    return "";
}

Lane& Engine::lane(uint32_t thread) {
    if (last_ && last_->thread == thread) return *last_;
    for (auto& l : lanes_)
        if (l->thread == thread) return *l;
    lanes_.push_back(std::make_unique<Lane>());
    lanes_.back()->thread = thread;
    return *lanes_.back();
}

// Reads the next record into its lane; false at the end of what can be read.
bool Engine::fetch() {
    if (ended_) return false;
    Item it;
    if (!spare_.empty()) {
        it.rec.bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    if (!rd_.next(it.rec)) {
        ended_ = true;
        return false;
    }
    it.index = read_++;
    cassette::Cursor c = it.rec.payload();
    Lane* l = last_;  // a record too short to say its thread stays with the one before it
    if (it.rec.kind == cassette::CALL || it.rec.kind == cassette::EVENT) {
        it.seq = c.get<uint64_t>();
        uint32_t thread = c.get<uint32_t>();
        if (c.ok) l = &lane(thread);
        if (!l) l = &lane(thread);
        if (c.ok && it.rec.kind == cassette::CALL) l->reading.push_back(it.seq);
    } else if (it.rec.kind == cassette::RETURN) {
        it.seq = c.get<uint64_t>();
        l = nullptr;
        for (auto& x : lanes_)
            if (!x->reading.empty() && x->reading.back() == it.seq) l = x.get();
        if (!l) {  // a stray RETURN, of no call read: passed over
            spare_.push_back(std::move(it.rec.bytes));
            return true;
        }
        l->reading.pop_back();
    } else {  // END, or a HEADER out of place: nothing is replayed past it
        ended_ = true;
        return false;
    }
    last_ = l;
    l->ahead.push_back(std::move(it));
    ++held_;
    return true;
}

// The lane's next record, read as far as needed; null at the end.
Item* Engine::front(Lane& l) {
    while (l.ahead.empty())
        if (!fetch()) return nullptr;
    return &l.ahead.front();
}

// The lane's i-th record ahead, reading no further than the window; null past it.
Item* Engine::at(Lane& l, size_t i) {
    while (l.ahead.size() <= i)
        if ((i && held_ >= kWindow) || !fetch()) return nullptr;
    return &l.ahead[i];
}

// Where the lane's records go on after the call at i (its RETURN's next); SIZE_MAX: not within the window.
size_t Engine::after_call(Lane& l, size_t i) {
    int depth = 0;
    for (size_t k = i;; ++k) {
        Item* x = at(l, k);
        if (!x) return SIZE_MAX;
        if (x->rec.kind == cassette::CALL) ++depth;
        if (x->rec.kind == cassette::RETURN && --depth <= 0) return k + 1;
    }
}

void Engine::pop(Lane& l) {
    if (spare_.size() < 64) spare_.push_back(std::move(l.ahead.front().rec.bytes));
    l.ahead.pop_front();
    --held_;
    if (waiting_) moved_.notify_all();
}

// Ends the replay: the recorded calls never made are divergences too.
int Engine::close() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!active()) return static_cast<int>(div_.count());
    for (;;) {
        Lane* first = nullptr;
        for (auto& p : lanes_)
            if (!p->ahead.empty() && (!first || p->ahead.front().index < first->ahead.front().index)) first = p.get();
        if (!first) {
            if (!fetch()) break;
            continue;
        }
        if (first->ahead.front().rec.kind == cassette::CALL) unused(*first, "no call: the run ended");
        else pop(*first);
    }
    rd_.close();
    lanes_.clear(), last_ = nullptr, held_ = 0;
    set_state(kOff);
    ++generation_;
    moved_.notify_all();
    size_t count = div_.count();
    return static_cast<int>(count > 2147483647u ? 2147483647u : count);
}

}  // namespace standin::replay
