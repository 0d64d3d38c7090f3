// The replay engine (replay.h, replay_engine.h): received calls matched to
// the recording, lane by lane.
//
// A call made from inside a handler belongs to the lane whose event is being
// delivered, and must be that lane's next record.  Any other call is matched
// against the next call of every idle lane (no call of it in progress), the
// earliest in the file that fits winning: calls are replayed from whatever
// thread makes them, in order within each recorded thread.  The records of a
// matched call up to its RETURN are then its events (delivered, each followed
// by the calls its handler makes) and its answer.  Before its RETURN, a call
// waits for the calls of other lanes that the recording has during it (a live
// run's zqi_stop from another thread, say), at most wait_limit(); the events of an
// idle lane (a core's own thread) are delivered by whichever call the
// recording has them during.
#pragma GCC visibility push(default)
#include "standin.h"  // the control API this file defines is exported
#pragma GCC visibility pop
#include "replay_engine.h"

#include <chrono>
#include <cstdlib>

namespace standin::replay {

unsigned char g_state = kUnchecked;

namespace {

// How long a call waits for other threads' calls: 10 s, or ZQ_CASSETTE_WAIT_MS
// (read once; the fuzz target, which replays from one thread, sets 0).
std::chrono::milliseconds wait_limit() {
    static const std::chrono::milliseconds limit = [] {
        const char* v = std::getenv("ZQ_CASSETTE_WAIT_MS");
        char* end = nullptr;
        long ms = v && *v ? std::strtol(v, &end, 10) : -1;
        return std::chrono::milliseconds(end && !*end && ms >= 0 ? ms : 10000);
    }();
    return limit;
}

// The lane whose event this thread is delivering, while its handler runs.
struct Context {
    Lane* lane = nullptr;
    uint64_t generation = 0;
};
thread_local Context t_ctx;

}  // namespace

bool Engine::optional(std::string_view fn) const {
    const Rule *own, *all;
    rules_.find(fn, own, all);
    return (own && own->optional) || (all && all->optional);
}

bool Engine::fits(const RecordedCall& rc, const Args& args) const {
    const Rule *own, *all;
    rules_.find(rc.fn, own, all);
    return compare(rc.args, rc.n, args, own, all).arg < 0;
}

std::string Engine::received(uint64_t n, const char* fn, const Args& args, Difference focus) const {
    Value shown[Args::kMax];
    std::copy(args.v, args.v + args.n, shown);
    withhold_secrets(fn, shown, args.n);
    return "call " + std::to_string(n) + " " + preview(fn, shown, args.n, focus);
}

bool Engine::call(const char* fn, const Args& args, Answer& answer) {
    Lock lk(mu_);
    if (!active()) return false;
    if (__builtin_expect(rules_.redacting(), 0)) {
        // A recording made with redaction rules holds scrubbed arguments: what
        // is received is scrubbed alike before anything compares or shows it.
        Scrubbed scrubbed;
        return dispatch(lk, fn, rules_.scrub(fn, args, scrubbed), answer);
    }
    return dispatch(lk, fn, args, answer);
}

bool Engine::dispatch(Lock& lk, const char* fn, const Args& args, Answer& answer) {
    uint64_t n = ++received_;
    Lane* in = t_ctx.generation == generation_ ? t_ctx.lane : nullptr;
    if (in) return match_in(lk, *in, fn, args, n, answer);
    return match_top(lk, fn, args, n, answer);
}

// A call from a handler: the next record of the lane whose event it handles.
bool Engine::match_in(Lock& lk, Lane& l, const char* fn, const Args& args, uint64_t n, Answer& answer) {
    Item* x = front(l);
    std::string next = !x ? (rd_.damage().empty() ? "the end of the recording" : "the end of the readable part, " + rd_.damage())
                     : x->rec.kind == cassette::CALL ? ""
                     : l.open.empty() ? "no call: the handler returned"
                     : x->rec.kind == cassette::RETURN ? "no call: " + l.open.back().text() + " returns here"
                                                       : "no call: " + l.open.back().text() + " delivers its next event here";
    RecordedCall rc;
    if (next.empty()) {
        if (!rc.parse(x->rec)) {  // a record that passed its checksum but does not parse: skip it
            div_.add("recorded call at byte " + std::to_string(x->rec.offset) + " is malformed");
            pop(l);
            return false;
        }
        if (rc.fn != fn && optional(rc.fn)) {  // passed over: the handler went on without it
            unused(l, "");
            return match_in(lk, l, fn, args, n, answer);
        }
        if (rc.fn == fn) {
            const Rule *own, *all;
            rules_.find(rc.fn, own, all);
            Difference d = compare(rc.args, rc.n, args, own, all);
            if (d.arg >= 0) {
                // The same function with other arguments: reported, and answered
                // as recorded so that the rest of the run stays in step.
                Contrast c = contrast(rc, fn, args, d, own, all);
                div_.add("call " + std::to_string(n) + " " + fn + " differs from recorded call #" + std::to_string(rc.seq) +
                             " (" + c.where + ")",
                         c.expected, "call " + std::to_string(n) + " " + c.received,
                         "#" + std::to_string(rc.seq) + " " + full_call(rc.fn, rc.args, rc.n),
                         "call " + std::to_string(n) + " " + full_call(fn, args.v, args.n));
            }
            return take(lk, l, fn, answer);
        }
        next = rc.text();
    }
    if (optional(fn)) return false;  // made beyond the recording: the stand-in's answer, no divergence
    uint64_t seq = later(&l, fn, args);
    if (seq) early_.insert(seq);
    div_.add("call " + std::to_string(n) + " " + fn +
                 (seq ? " is out of order: the recording has it later, as #" + std::to_string(seq) : " is not in the recording"),
             next, received(n, fn, args), "", "call " + std::to_string(n) + " " + full_call(fn, args.v, args.n));
    return false;
}

// Any other call: the next call of any idle lane.
bool Engine::match_top(Lock& lk, const char* fn, const Args& args, uint64_t n, Answer& answer) {
    if (lanes_.size() == 1 && lanes_.front()->idle()) {  // the usual case: one thread, its next call this one
        Lane& l = *lanes_.front();
        Item* x = front(l);
        RecordedCall rc;
        if (x && x->rec.kind == cassette::CALL && rc.parse(x->rec) && rc.fn == fn && fits(rc, args))
            return take(lk, l, fn, answer);
    }
    uint64_t gen = generation_;
    // Events recorded outside any call, before the recording's next call, come first.
    for (;;) {
        Lane* ev = nullptr;
        uint64_t next_call = UINT64_MAX;
        bool passed = false;
        for (auto& p : lanes_) {
            Lane& l = *p;
            if (!l.idle() || l.ahead.empty()) continue;
            Item& x = l.ahead.front();
            if (x.rec.kind == cassette::RETURN) {  // of a call passed over: nothing to answer
                pop(l);
                passed = true;
                break;
            }
            if (x.rec.kind == cassette::CALL) next_call = std::min(next_call, x.index);
            else if (!ev || x.index < ev->ahead.front().index) ev = &l;
        }
        if (passed) continue;
        if (ev && ev->ahead.front().index < next_call) {
            if (!deliver(lk, *ev) || gen != generation_) return false;
            continue;
        }
        if (next_call != UINT64_MAX || held_ >= Engine::kWindow || !fetch()) break;
    }
    // The candidates: each idle lane's next call, past the optional calls before it.
    struct Fit {
        Lane* lane = nullptr;
        size_t at = 0;
        uint64_t index = UINT64_MAX;
    } exact, differs, first;
    Lane* malformed = nullptr;
    auto consider = [&](Lane& l) {
        for (size_t i = 0; i != SIZE_MAX;) {
            Item* x = i ? at(l, i) : front(l);
            RecordedCall rc;
            if (!x || x->rec.kind != cassette::CALL) return;
            if (!rc.parse(x->rec)) {
                if (!i) malformed = &l;
                return;
            }
            if (!i && x->index < first.index) first = {&l, 0, x->index};
            if (rc.fn == fn) {
                Fit& f = fits(rc, args) ? exact : differs;
                if (x->index < f.index && (&f == &exact || !i)) f = {&l, i, x->index};
                return;
            }
            if (!optional(rc.fn)) return;
            i = after_call(l, i);
        }
    };
    for (auto& p : lanes_)
        if (p->idle() && !p->ahead.empty()) consider(*p);
    // Not there: read on for a thread the recording has not shown yet.
    while (!exact.lane && held_ < Engine::kWindow && fetch()) {
        Lane& l = *last_;
        if (l.idle() && l.ahead.size() == 1 && l.ahead.front().rec.kind == cassette::CALL) consider(l);
    }
    if (exact.lane) {
        while (front(*exact.lane)->index < exact.index) unused(*exact.lane, "");  // the optional calls passed over
        return take(lk, *exact.lane, fn, answer);
    }
    if (malformed) {  // a record that passed its checksum but does not parse: skipped
        div_.add("recorded call at byte " + std::to_string(malformed->ahead.front().rec.offset) + " is malformed");
        pop(*malformed);
        return false;
    }
    std::string end = rd_.damage().empty() ? "the end of the recording" : "the end of the readable part, " + rd_.damage();
    if (differs.lane) {
        Lane& l = *differs.lane;
        RecordedCall rc;
        rc.parse(front(l)->rec);
        const Rule *own, *all;
        rules_.find(rc.fn, own, all);
        Contrast c = contrast(rc, fn, args, compare(rc.args, rc.n, args, own, all), own, all);
        div_.add("call " + std::to_string(n) + " " + fn + " differs from recorded call #" + std::to_string(rc.seq) + " (" +
                     c.where + ")",
                 c.expected, "call " + std::to_string(n) + " " + c.received,
                 "#" + std::to_string(rc.seq) + " " + full_call(rc.fn, rc.args, rc.n),
                 "call " + std::to_string(n) + " " + full_call(fn, args.v, args.n));
        return take(lk, l, fn, answer);
    }
    RecordedCall next;
    bool has_next = first.lane && next.parse(first.lane->ahead.front().rec);
    if (optional(fn)) return false;  // made beyond the recording: the stand-in's answer, no divergence
    if (uint64_t seq = later(nullptr, fn, args)) {
        early_.insert(seq);
        div_.add("call " + std::to_string(n) + " " + fn + " is out of order: the recording has it later, as #" +
                     std::to_string(seq),
                 has_next ? next.text() : end, received(n, fn, args), "",
                 "call " + std::to_string(n) + " " + full_call(fn, args.v, args.n));
        return false;
    }
    // One step ahead: the next call was left out, and this one differs from the call after it.
    if (has_next) {
        Lane& l = *first.lane;
        size_t j = after_call(l, 0);
        Item* x = j == SIZE_MAX ? nullptr : at(l, j);
        RecordedCall rc;
        if (x && x->rec.kind == cassette::CALL && rc.parse(x->rec) && rc.fn == fn) {
            const Rule *own, *all;
            rules_.find(rc.fn, own, all);
            Contrast c = contrast(rc, fn, args, compare(rc.args, rc.n, args, own, all), own, all);
            div_.add("call " + std::to_string(n) + " " + fn + " differs from recorded call #" + std::to_string(rc.seq) +
                         " (" + c.where + ")",
                     c.expected, "call " + std::to_string(n) + " " + c.received,
                     "#" + std::to_string(rc.seq) + " " + full_call(rc.fn, rc.args, rc.n),
                     "call " + std::to_string(n) + " " + full_call(fn, args.v, args.n));
            unused(l, ("no call: call " + std::to_string(n) + " " + fn + " came in its place").c_str());
            return take(lk, l, fn, answer);
        }
    }
    div_.add("call " + std::to_string(n) + " " + fn + " is not in the recording", has_next ? next.text() : end,
             received(n, fn, args), "", "call " + std::to_string(n) + " " + full_call(fn, args.v, args.n));
    return false;
}

// The seq of a recorded call ahead in `only` (or in any idle lane) that the received call matches; 0 if none.
uint64_t Engine::later(Lane* only, const char* fn, const Args& args) {
    if (div_.count() >= Divergences::kMaxReported) return 0;  // past what the report describes, only counted
    if (only) at(*only, Engine::kWindow);
    uint64_t best = 0, best_index = UINT64_MAX;
    for (auto& p : lanes_) {
        Lane& l = *p;
        if (only ? &l != only : !l.idle()) continue;
        for (Item& x : l.ahead) {
            RecordedCall rc;
            if (x.index >= best_index) break;
            if (x.rec.kind != cassette::CALL || !rc.parse(x.rec) || rc.fn != fn || early_.count(rc.seq)) continue;
            if (fits(rc, args)) best = rc.seq, best_index = x.index;
        }
    }
    return best;
}

// Takes the lane's next record, a CALL, as the received call's.
bool Engine::take(Lock& lk, Lane& l, const char* fn, Answer& answer) {
    Item& x = l.ahead.front();
    uint64_t seq = x.seq, index = x.index;
    pop(l);
    l.open.push_back(Lane::Open{seq, fn});
    return drain(lk, l, answer, index);
}

// The records of the lane's innermost open call up to its RETURN.
bool Engine::drain(Lock& lk, Lane& l, Answer& answer, uint64_t since) {
    const Lane::Open me = l.open.back();
    for (;;) {
        Item* x = front(l);
        if (!x) break;
        bool mine = x->rec.kind == cassette::RETURN && x->seq == me.seq;
        if (!settle(lk, l, x->index, mine ? since : UINT64_MAX)) return false;
        x = &l.ahead.front();
        if (x->rec.kind == cassette::EVENT) {
            if (!deliver(lk, l)) return false;  // the handler closed or reopened the replay
        } else if (x->rec.kind == cassette::CALL) {
            unused(l, "no call: the handler returned");
        } else if (!mine) {
            pop(l);  // a RETURN of a call passed over
        } else {
            cassette::Cursor c = x->rec.payload();
            c.get<uint64_t>();  // seq
            c.get<uint64_t>();  // duration
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
                // The reader has checked that a length beside bytes is theirs (or -1, a text's);
                // held to it here as well: no length handed out exceeds the bytes behind it.
                if (data && answer.out_len > len) answer.out_len = len;
                answer.out_null = !data && answer.out_len >= 0;
                answer.out.assign(data ? data : "", data ? static_cast<size_t>(len) : 0);  // no allocation once it has room
            }
            answer.result.p = nullptr;  // it pointed into the record
            pop(l);
            l.open.pop_back();
            if (!c.ok) div_.add("recorded answer of " + me.text() + " is malformed");
            return c.ok;
        }
    }
    div_.add("the recording ends inside " + me.text() + ": its answer is the stand-in's",
             rd_.damage().empty() ? "the end of the recording" : "the end of the readable part, " + rd_.damage(),
             "the rest of " + me.text());
    l.open.pop_back();
    return false;
}

// Before the lane's record at `before`: the events of idle lanes the recording
// has earlier are delivered here, and for a RETURN (`since`: its CALL's place)
// the records other lanes have during its call are waited for.  False: the
// replay was closed or reopened meanwhile.
bool Engine::settle(Lock& lk, Lane& l, uint64_t before, uint64_t since) {
    if (lanes_.size() == 1) return true;
    uint64_t gen = generation_;
    bool waited = false;
    for (;;) {
        Lane* ev = nullptr;
        bool wait = false;
        for (auto& p : lanes_) {
            Lane& m = *p;
            if (&m == &l || m.ahead.empty() || m.ahead.front().index >= before) continue;
            const Item& y = m.ahead.front();
            if (m.idle() && y.rec.kind == cassette::EVENT) {
                if (!ev || y.index < ev->ahead.front().index) ev = &m;
            } else if (y.index > since) {
                wait = true;
            }
        }
        if (ev) {
            if (!deliver(lk, *ev)) return false;
            continue;
        }
        if (!wait || waited) return true;
        ++waiting_;
        waited = moved_.wait_for(lk, wait_limit()) == std::cv_status::timeout;
        --waiting_;
        if (gen != generation_) return false;
    }
}

// Delivers the lane's next record, an EVENT, with the lock released: the
// handler's calls take their turn in the lane.  False: the replay was closed
// or reopened meanwhile.
bool Engine::deliver(Lock& lk, Lane& l) {
    Record& rec = l.ahead.front().rec;
    cassette::Cursor c = rec.payload();
    c.get<uint64_t>(), c.get<uint32_t>(), c.get<uint64_t>();  // during, thread, time
    const char *type, *data;
    int32_t type_len, data_len;
    c.blob(type, type_len);
    int32_t handed = c.get<int32_t>();
    c.blob(data, data_len);
    if (!c.ok) {
        div_.add("recorded event at byte " + std::to_string(rec.offset) + " is malformed");
        pop(l);
        return true;
    }
    // Copies that outlive the records the handler's calls read.
    std::string t(type ? type : "", type ? static_cast<size_t>(type_len) : 0);
    std::string d(data ? data : "", data ? static_cast<size_t>(data_len) : 0);
    pop(l);
    if (data && handed > data_len) handed = data_len;  // as the reader checked: never past the bytes
    EventCallback cb = event_callback();
    if (!cb) return true;
    uint64_t gen = generation_;
    bool outside = l.idle();
    if (outside) l.delivering = true;
    Context saved = t_ctx;
    t_ctx = Context{&l, gen};
    lk.unlock();
    cb(type ? t.c_str() : nullptr, data ? &d[0] : nullptr, handed);
    lk.lock();
    t_ctx = saved;
    if (gen != generation_) return false;
    if (outside) l.delivering = false;
    return true;
}

// Passes over the lane's next call, a CALL never made, up to its RETURN.
void Engine::unused(Lane& l, const char* instead) {
    Item* x = front(l);
    RecordedCall rc;
    if (rc.parse(x->rec) && !early_.erase(rc.seq) && !optional(rc.fn) && *instead) div_.unmade(rc, instead);
    for (int depth = 0; (x = front(l));) {
        bool call = x->rec.kind == cassette::CALL, ret = x->rec.kind == cassette::RETURN;
        pop(l);
        depth += call;
        if (ret && --depth <= 0) return;
    }
}

}  // namespace standin::replay
