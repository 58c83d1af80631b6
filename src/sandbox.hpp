#ifndef VELK_SANDBOX_HPP
#define VELK_SANDBOX_HPP

// Confines the rest of the run with the kernel's help: no program can be
// started, no process made, nothing traced, no socket opened, and files
// can be created, written, renamed and removed only inside dir (or, with
// dir null, only the device node device written).  Mechanisms that the
// kernel lacks are skipped without a word; a mechanism that it has but
// refuses to install ends the run with status 1.
void confine(const char *dir, const char *device);

#endif
