#pragma once
// voka-host probe: tries each baud rate and address given on a serial port,
// prints each power system that answers and its site element (standard
// output), with a progress line on standard error.
//
// Exit status: 0 something answered, 1 nothing did (the message says what was
// tried and what was heard) or the port failed. Setting `stop` (SIGINT) ends
// the scan after the try in progress; what was found is printed already.
#include <csignal>

#include "host/voka-host/probe/probe_options.h"

int run_probe(const ProbeOptions& options, const volatile std::sig_atomic_t& stop);
