// Whole lines to standard output or standard error from any thread.
#pragma once

void printLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void printErrorLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
