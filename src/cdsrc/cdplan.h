// cdsrc (internal): the plan of one walk of the CD, which the folder walk (cdsrc.cpp) and the image walk
// (iso9660.cpp) make alike and the copy, the total and the install record read. Files: cdplan.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

#include "util/util.h"

// The longest relative path the copy writes: a name at `prefix` characters below the root, counted
// as Windows counts them against its path limit.
inline void note_path(size_t *longest, size_t prefix, const char *name) {
    size_t len = prefix + utf16_units(name);
    if (len > *longest) *longest = len;
}

// What one walk of the CD found: every folder and file in walk order (a folder before what it holds),
// relative to the CD's root, with the total of the files' sizes and the longest path. A walk that meets a
// fault (a name that is no plain name, folders that loop without end, no memory) walks on for the total
// but marks where the copy must stop.
struct PlanEntry {
    size_t rel;        // offset of its path in the plan's text
    uint64_t size;     // a file's bytes
    uint32_t extent;   // an image file's first sector
    uint8_t folder;    // 1 for a folder
    uint8_t replaced;  // a later file of the same name replaces it: not copied (images only)
    FileSum sum;       // what the last copy or check that summed the file learnt of its bytes
};
enum {
    PLAN_OK = 0,
    PLAN_UNSAFE_NAME = 1,
    PLAN_TOO_MANY_FOLDERS = 2,
    PLAN_NO_MEMORY = 3,
    PLAN_TOO_LONG = 4,
    PLAN_UNSUPPORTED = 5,  // the image uses what a plain reader would copy wrongly (fault_text says what)
    PLAN_DAMAGED = 6,      // a read of the image failed for a reason of its own (fault_text: the line)
};
struct CdPlan {
    PlanEntry *entries;
    size_t count, room;
    char *text;
    size_t used, capacity;
    uint64_t total;
    size_t longest;
    size_t usable;         // the entries before the first fault: what a copy makes
    int fault;             // the first fault, PLAN_OK for none
    char fault_text[300];  // the unsafe name as the log shows it, or the path where the walk stopped
};
// Adds an entry (rel: its path below the root) and counts it into the total and the longest path.
// 0 without memory, which is noted as the plan's fault.
int plan_add(CdPlan *plan, const char *rel, int folder, uint64_t size, uint32_t extent, int replaced);
// Notes the walk's first fault: the copy makes what was planned before it, then stops with its line.
void plan_fault(CdPlan *plan, int fault, const char *text);
const char *plan_rel(const CdPlan *plan, size_t i);
