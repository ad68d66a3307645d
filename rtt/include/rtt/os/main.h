#pragma once

#include <exception>

// Start-up convention: the toolkit's `main` (library vb_rtt_main) prepares the process, calls the
// program's ORO_main_impl, reports an exception escaping it on standard error, and ends with
// __os_exit(). The program defines ORO_main (or ORO_main_impl) instead of main.
int ORO_main_impl(int argc, char** argv);
#define ORO_main ORO_main_impl

// Process start-up of the toolkit; 0 on success.
int __os_init(int argc, char** argv);
// Whether main catches what escapes ORO_main_impl: non-zero unless the command line holds
// "--nocatch", which is removed from argc/argv.
int __os_checkException(int& argc, char** argv);
void __os_printException(const char* prog, const std::exception& arg);
void __os_printFailure(const char* prog);
// Process shut-down of the toolkit: flushes standard output and standard error.
void __os_exit();
