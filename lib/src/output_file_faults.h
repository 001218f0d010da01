// A seam for tests: makes the system calls of safe output fail as they do on
// file systems without unnamed files, hard links, the no-replace rename or
// Unix permission bits (FAT, SMB, some FUSE mounts), which cannot be mounted
// on every machine. Not installed; zero in every real run.
#pragma once

#include <mapconv/api.h>

enum OutputFileFault : unsigned {
  OUTPUT_FAULT_UNNAMED = 1u,           // O_TMPFILE refused (EOPNOTSUPP)
  OUTPUT_FAULT_LINK = 2u,              // every hard link refused (EPERM)
  OUTPUT_FAULT_RENAME_NOREPLACE = 4u,  // the no-replace rename unknown (EINVAL)
  OUTPUT_FAULT_MODE = 8u,              // permission bits cannot be set (EPERM)
  OUTPUT_FAULT_OWNER = 16u,            // the owner cannot be set (EPERM)
};

// OutputFileFault bits in force for the whole process.
extern unsigned output_file_faults;

// Called, where set, between the look at where a symbolic link leads and the
// check that the name found still leads to that file, so that a test can
// swap the file in between. Null in every real run.
extern void (*output_file_before_recheck)();
