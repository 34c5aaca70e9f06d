// Standard output of kvprofile: one printer that gathers what the commands
// print into large writes and checks every write.  A failed write (a full
// disk, a closed pipe) is remembered with its reason; the tool then exits 2
// with a message on standard error instead of claiming success.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// A write to a closed pipe fails with an error instead of killing the
// process (SIGPIPE ignored where there is one): a command that has saved a
// file still exits with its own code.  Called once, first thing in main.
void printerKeepBrokenPipes();

class Printer {
  public:
    explicit Printer(FILE *stream) : stream_(stream) {}
    Printer(const Printer &) = delete;
    Printer &operator=(const Printer &) = delete;

    // The text still to be written: commands append to it directly where a
    // line is put together in place (speed: show writes a row per section).
    std::string &text() { return pending_; }
    void print(std::string_view text) {
        pending_ += text;
        lineDone();
    }
    // Writes the gathered text once a chunk has gathered.  False once a
    // write has failed: a long listing stops there.
    bool lineDone() {
        if (pending_.size() >= CHUNK) write();
        return !failed();
    }
    // Takes the room for a long listing once, below the size that the
    // allocator would map anew (fresh pages, each faulted in).
    void reserve() { pending_.reserve(CHUNK + CHUNK / 2); }

    // Writes everything gathered and flushes the stream.  False when any
    // write failed, now or before.
    bool flush();
    bool failed() const { return error_ != 0; }
    // The system's reason for the failed write ("No space left on device").
    std::string reason() const;

  private:
    // Output goes out in writes of about this size: the stream would
    // otherwise write a few kilobytes at a time (speed).
    static constexpr size_t CHUNK = size_t{1} << 15;
    void write();

    FILE *stream_;
    std::string pending_;
    int error_ = 0; // errno of the first failed write, or -1 when the stream gave none
};
