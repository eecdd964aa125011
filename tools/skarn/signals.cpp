// The stop signals; see signals.hpp.
#include "signals.hpp"

#include <signal.h>

#include <csignal>

#include "errors.hpp"

namespace skarn_cli {

namespace {

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void note_stop_signal(int signal_number) { stop_signal = signal_number; }

}  // namespace

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read from a terminal or a pipe returns EINTR, so that
    // the tool reaches its next safe point instead of waiting for input.
    action.sa_flags = 0;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int pending_signal() { return stop_signal; }

void check_interrupted() {
    if (stop_signal != 0) throw interrupted{stop_signal};
}

}  // namespace skarn_cli
