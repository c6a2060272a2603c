// The plan of one walk of the CD (module cdsrc): what the folder walk of cdsrc.cpp and the image walk of
// iso9660.cpp note down, and the first fault either meets.
#include <cstdlib>
#include <cstring>

#include "cdplan.h"

int plan_add(CdPlan *plan, const char *rel, int folder, uint64_t size, uint32_t extent, int replaced) {
    size_t len = strlen(rel) + 1;
    if (plan->count == plan->room) {
        size_t grown = plan->room ? plan->room * 2 : 256;
        PlanEntry *bigger = static_cast<PlanEntry *>(realloc(plan->entries, grown * sizeof(PlanEntry)));
        if (!bigger) return plan_fault(plan, PLAN_NO_MEMORY, ""), 0;
        plan->entries = bigger;
        plan->room = grown;
    }
    if (plan->used + len > plan->capacity) {
        size_t grown = plan->capacity ? plan->capacity * 2 : 65536;
        while (grown < plan->used + len) grown *= 2;
        char *bigger = static_cast<char *>(realloc(plan->text, grown));
        if (!bigger) return plan_fault(plan, PLAN_NO_MEMORY, ""), 0;
        plan->text = bigger;
        plan->capacity = grown;
    }
    memcpy(plan->text + plan->used, rel, len);
    plan->entries[plan->count++] = PlanEntry{plan->used, size, extent, static_cast<uint8_t>(folder ? 1 : 0),
                                             static_cast<uint8_t>(replaced ? 1 : 0), FileSum{0, 0}};
    plan->used += len;
    if (!folder) plan->total += size;
    note_path(&plan->longest, 0, rel);
    return 1;
}

void plan_fault(CdPlan *plan, int fault, const char *text) {
    if (plan->fault != PLAN_OK) return;
    plan->fault = fault;
    plan->usable = plan->count;
    fmt(plan->fault_text, sizeof plan->fault_text, "%s", text);
}

const char *plan_rel(const CdPlan *plan, size_t i) { return plan->text + plan->entries[i].rel; }
