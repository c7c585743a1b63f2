#pragma once
// OutputFile: a destination that is never seen half-written.
//   OutputFile f;
//   if (!output_open(&f, path)) ...        // nothing created
//   fwrite(..., f.file) / fseek(f.file, ...)
//   if (!output_commit(&f)) ...            // 1 only when every byte landed in place
//   output_abandon(&f);                    // on any failure before the commit
// A regular destination (or one that does not exist yet) is written to a temporary file in
// its own directory and renamed over it only by the commit, so an existing file is either
// replaced whole or left exactly as it was, and a failure leaves no temporary file behind. A
// symbolic link is followed: the file it names is replaced and the link stays. Devices, pipes
// and other non-regular destinations are written in place, as a user expects of /dev/null.
// Results: 1 done, 0 not (nothing is printed here).
#include <cstdio>
#include <string>

struct OutputFile {
    FILE* file = nullptr;  // where the bytes go; null once committed or abandoned
    std::string target;    // the file the commit puts in place
    std::string temp;      // the temporary file, empty when writing in place
};

[[nodiscard]] int output_open(OutputFile* f, const char* path);
[[nodiscard]] int output_commit(OutputFile* f);
void output_abandon(OutputFile* f);
// Removes the temporary file of the output open at that moment (if any) when the process is
// interrupted or terminated, then lets the signal take its normal course.
void output_clean_up_on_signals();
