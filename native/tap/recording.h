// The cassette file: opening a recording, the writer thread that writes the
// buffer out, closing it with its END record.  One recording at a time; a
// process may make several in turn (one per test).
#pragma once

#include <cstdint>
#include <string>

namespace tap {

void say(const std::string& line);  // one line on stderr, naming the tap
void restart_clock();               // times and thread numbers of a new recording start afresh (tap.cpp)

// Starts recording into `path` (an existing empty file), scrubbing the calls
// by the redaction rules `redact` (redact.h; "": none).  False, with the
// reason in `error`, when it cannot.
bool open_recording(const char* path, bool keep_secrets, const std::string& core, const std::string& redact,
                    std::string& error);

struct Closed {
    bool was_open = false;
    uint64_t calls = 0, lost = 0;
};
// Writes out what is pending and the END record and closes the file; says
// on stderr how many calls were lost, if any.
Closed close_recording();

}  // namespace tap
