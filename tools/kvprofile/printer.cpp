#include "printer.h"

#include <cerrno>
#include <csignal>
#include <cstring>

void printerKeepBrokenPipes() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void Printer::write() {
    if (pending_.empty()) return;
    if (error_ == 0) {
        errno = 0;
        size_t written = std::fwrite(pending_.data(), 1, pending_.size(), stream_);
        if (written != pending_.size()) error_ = errno != 0 ? errno : -1;
    }
    pending_.clear();
}

bool Printer::flush() {
    write();
    if (error_ == 0) {
        errno = 0;
        if (std::fflush(stream_) != 0 || std::ferror(stream_)) error_ = errno != 0 ? errno : -1;
    }
    return error_ == 0;
}

std::string Printer::reason() const {
    if (error_ <= 0) return "the write failed";
    return std::strerror(error_);
}
