// Replay's divergences and their two texts (replay_engine.h): the report,
// previews of the calls one above the other, and the full report, every
// argument in full with the secret ones withheld.
#include "replay_engine.h"

#include <algorithm>

namespace standin::replay {

// The one place a report asks which arguments may be written out.
void withhold_secrets(std::string_view fn, Value* args, int n) {
    for (int i = 0; i < n; ++i)
        if (secret_argument(fn, i)) args[i] = Value{cassette::SECRET};
}

namespace {

// A text or request in full, escaped as a preview escapes it.
std::string quoted(std::string_view s) {
    std::string out = "'";
    escape_into(out, s);
    return out + "'";
}

std::string full_value(const Value& v) {
    if (v.tag == cassette::TEXT && v.p) return quoted(bytes(v));
    if (v.tag == cassette::BUF && v.p) return "b" + quoted(bytes(v)) + " (" + std::to_string(v.req_len) + " bytes)";
    std::string one = preview("", &v, 1);  // "(value)"
    return one.substr(1, one.size() - 2);
}

}  // namespace

std::string full_call(std::string_view fn, const Value* args, int n) {
    Value shown[Args::kMax];
    std::copy(args, args + n, shown);
    withhold_secrets(fn, shown, n);
    std::string out(fn);
    out += n ? "" : "()";
    for (int i = 0; i < n; ++i) out += "\n     " + std::to_string(i) + ": " + full_value(shown[i]);
    return out;
}

Contrast contrast(const RecordedCall& rc, const char* fn, const Args& args, Difference d, const Rule* own,
                  const Rule* all) {
    Contrast c;
    if (d.arg >= 0 && secret_argument(rc.fn, d.arg)) d.byte = -1;  // not even where a secret differs
    Value expected[Args::kMax], received[Args::kMax];
    std::copy(rc.args, rc.args + rc.n, expected);
    std::copy(args.v, args.v + args.n, received);
    withhold_secrets(rc.fn, expected, rc.n);
    withhold_secrets(fn, received, args.n);
    bool masks = (own && !own->masks.empty()) || (all && !all->masks.empty());
    std::string a, b;
    if (masks && d.arg >= 0 && d.arg < rc.n && d.arg < args.n && d.byte < 0) {
        Value &e = expected[d.arg], &r = received[d.arg];
        if (e.tag == r.tag && (e.tag == cassette::TEXT || e.tag == cassette::BUF) && e.p && r.p) {
            // Both sides as compared: with what the masks match cut out.
            a = bytes(e), b = bytes(r);
            for (const Rule* rule : {own, all})
                if (rule) a = rule->masked(a.data(), a.size()), b = rule->masked(b.data(), b.size());
            d.byte = first_difference(a, b);
            e.p = a.data(), e.len = e.req_len = static_cast<int32_t>(a.size());
            r.p = b.data(), r.len = r.req_len = static_cast<int32_t>(b.size());
            c.where = "argument " + std::to_string(d.arg) + ", byte " + std::to_string(d.byte) + " after masking";
        }
    }
    if (c.where.empty())
        c.where = "argument " + std::to_string(d.arg) + (d.byte >= 0 ? ", byte " + std::to_string(d.byte) : "");
    c.expected = "#" + std::to_string(rc.seq) + " " + preview(rc.fn, expected, rc.n, d);
    c.received = preview(fn, received, args.n, d);
    return c;
}

void Divergences::clear() {
    entries_.clear();
    count_ = 0;
    unmade_at_ = SIZE_MAX;
    unmade_first_ = unmade_last_ = unmade_count_ = 0;
    unmade_fns_.clear();
}

void Divergences::add(std::string what, std::string expected, std::string received, std::string expected_full,
                      std::string received_full) {
    if (++count_ > kMaxReported || entries_.size() >= kMaxReported) return;
    entries_.push_back(Entry{std::move(what), std::move(expected), std::move(received), std::move(expected_full),
                             std::move(received_full)});
}

void Divergences::unmade(const RecordedCall& rc, const std::string& instead) {
    std::string what = "recorded call #" + std::to_string(rc.seq) + " " + std::string(rc.fn) + " was never made";
    if (count_ == 0) {
        add(what, rc.text(), instead, "#" + std::to_string(rc.seq) + " " + full_call(rc.fn, rc.args, rc.n), instead);
        return;
    }
    ++count_;
    if (unmade_at_ == SIZE_MAX) {
        if (entries_.size() >= kMaxReported) return;
        unmade_at_ = entries_.size();
        entries_.push_back(Entry{what, rc.text(), instead, "#" + std::to_string(rc.seq) + " " + full_call(rc.fn, rc.args, rc.n),
                                 instead});
        unmade_first_ = rc.seq;
    }
    unmade_last_ = rc.seq;
    ++unmade_count_;
    auto it = unmade_fns_.find(rc.fn);
    if (it == unmade_fns_.end()) it = unmade_fns_.emplace(std::string(rc.fn), 0).first;
    ++it->second;
}

// "97 recorded calls from #4 to #100 were never made (zqi_place_order_pb 95, zqi_stop 2)", busiest first.
std::string Divergences::unmade_line() const {
    std::vector<std::pair<uint64_t, std::string>> by;
    for (const auto& [fn, k] : unmade_fns_) by.emplace_back(k, fn);
    std::stable_sort(by.begin(), by.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
    std::string out = std::to_string(unmade_count_) + " recorded calls from #" + std::to_string(unmade_first_) + " to #" +
                      std::to_string(unmade_last_) + " were never made (";
    for (size_t i = 0; i < by.size() && i < 6; ++i) out += (i ? ", " : "") + by[i].second + " " + std::to_string(by[i].first);
    return out + (by.size() > 6 ? ", ...)" : ")");
}

namespace {

std::string headline(const std::string& path, size_t count) {
    return "replay of " + path + ": " + std::to_string(count) + (count == 1 ? " divergence\n" : " divergences\n");
}

}  // namespace

// The report (previews) or the full report (every argument in full): one walk.
std::string Divergences::text(const std::string& path, bool full) const {
    if (!count_) return "";
    std::string out = headline(path, count_);
    size_t described = 0;
    for (size_t k = 0; k < entries_.size(); ++k) {
        const Entry& e = entries_[k];
        bool summary = k == unmade_at_ && unmade_count_ > 1;
        described += k == unmade_at_ ? unmade_count_ : 1;
        out += std::to_string(k + 1) + ". " + (summary ? unmade_line() : e.what) + "\n";
        if (summary) {
            if (full) out += "   the first: " + e.expected_full + "\n";
            continue;
        }
        if (!full) {
            if (!e.expected.empty()) out += "   expected: " + e.expected + "\n   received: " + e.received + "\n";
            continue;
        }
        if (e.expected.empty() && e.received_full.empty()) continue;
        out += "   expected: " + (e.expected_full.empty() ? e.expected : e.expected_full) + "\n";
        out += "   received: " + (e.received_full.empty() ? e.received : e.received_full) + "\n";
    }
    if (count_ > described) out += "... and " + std::to_string(count_ - described) + " more\n";
    return out;
}

}  // namespace standin::replay
