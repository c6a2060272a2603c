// The CD source: one interface over a folder (a drive root or a copied disc) and a disc image, which
// the ISO 9660 reader of iso9660.cpp reads; the folder source is here.
#include "cdsrc.h"

#include <cstdlib>
#include <cstring>

#include "cdsrc_internal.h"
#include "setup_log.h"

namespace {

// Leaves the file without read-only, hidden and system. A fresh copy carries none of them, so the
// attributes are only rewritten when one is there (from an earlier install): rewriting them costs
// more per file than a small file's copy under Wine.
void clear_attributes(const char *path) {
    uint32_t a = pf_attributes(path);
    if (a != PF_ATTR_INVALID && (a & (PF_ATTR_READONLY | PF_ATTR_HIDDEN | PF_ATTR_SYSTEM))) pf_set_normal(path);
}

uint64_t dir_total(const char *folder, int depth, size_t *longest, size_t prefix) {
    PfList *l = pf_list_open(folder);
    if (!l) return 0;
    uint64_t sum = 0;
    PfEntry e;
    while (pf_list_next(l, &e)) {
        if (!e.directory) {
            sum += e.size;
            note_path(longest, prefix, e.name);
        } else if (depth < MAX_DEPTH) {
            note_path(longest, prefix, e.name);
            char child[PATH_BUF];
            if (join_path(child, folder, e.name)) sum += dir_total(child, depth + 1, longest, prefix + utf16_units(e.name) + 1);
        }
    }
    pf_list_close(l);
    return sum;
}

// The first half of a folder copy, on the calling thread: lists the folder tree under `to` in listing
// order and the files for the workers. 0 at the first fault, with its log line.
int dir_plan(const char *from, const char *to, CopyPlan *plan, int depth) {
    if (!jobs_add(plan->folders, "", to, 0, 0)) {
        setup_log("not enough memory to copy %s", to);
        return 0;
    }
    PfList *l = pf_list_open(from);
    if (!l) return 1;
    int ok = 1;
    PfEntry e;
    while (ok && pf_list_next(l, &e)) {
        if (e.directory && depth == MAX_DEPTH) continue;
        char src[PATH_BUF], dst[PATH_BUF];
        if (!join_path(src, from, e.name)) {
            setup_log("cannot read %s", src);
            ok = 0;
        } else if (!join_path(dst, to, e.name)) {
            setup_log("cannot write %s", dst);
            ok = 0;
        } else if (e.directory) {
            ok = dir_plan(src, dst, plan, depth + 1);
        } else if (!jobs_add(plan->files, src, dst, 0, e.size)) {
            setup_log("not enough memory to copy %s", dst);
            ok = 0;
        }
    }
    pf_list_close(l);
    return ok;
}

constexpr uint32_t FOLDER_CHUNK = 1 << 20;

// Copies one file of a folder source (a job of dir_plan) through a worker's buffer.
int copy_folder_file(void *, const CopyJob *job, Progress *p, uint8_t *buffer) {
    int ok = copy_file_with(job->from, job->to, p, buffer, FOLDER_CHUNK);
    clear_attributes(job->to);
    return ok;
}

int is_cue(const char *path) {
    const char *dot = strrchr(path, '.');
    return dot && ascii_equal(dot, ".cue");
}

}  // namespace

CdSrc *cd_open(const char *path) { return cd_open_why(path, nullptr, 0); }

CdSrc *cd_open_why(const char *path, char *why, size_t cap) {
    if (!*path) {
        fmt(why, cap, "no CD was given or found: name a drive, an image or a folder with /cd");
        return nullptr;
    }
    CdSrc *s = static_cast<CdSrc *>(calloc(1, sizeof(CdSrc)));
    if (!s) {
        fmt(why, cap, "%s: out of memory", path);
        return nullptr;
    }
    s->handle = PF_INVALID;
    char p[PATH_BUF];
    fmt(p, sizeof p, "%s", path);
    size_t len = strlen(p);
    if (len > 3) {
        while (len > 3 && (p[len - 1] == '\\' || p[len - 1] == '/')) p[--len] = '\0';
    } else if (len == 2 && p[1] == ':') {
        p[2] = '\\';
        p[3] = '\0';
    }
    if (is_dir(p)) {
        fmt(s->path, sizeof s->path, "%s", p);
        fmt(s->desc, sizeof s->desc, "folder %s", p);
        return s;
    }
    DiscTrack t;
    const char *reason = nullptr;
    if (!path_exists(p)) {
        fmt(why, cap, "%s: no such file or folder", p);
    } else if (!disc_locate(p, &t, &reason)) {
        fmt(why, cap, "%s: %s", p, reason);
    } else if ((s->handle = pf_open_read(t.file, 0)) == PF_INVALID) {
        if (strcmp(t.file, p) != 0)
            fmt(why, cap, "%s: the sheet names a data file that cannot be opened: %s", p, t.file);
        else
            fmt(why, cap, "%s: the file cannot be opened (error %lu)", p, pf_last_error());
    } else if (!pf_size(s->handle, &s->image_size) || s->image_size == 0) {
        fmt(why, cap, "%s: the file is empty", t.file);
    } else if (!iso_probe_track(s, &t, is_cue(p))) {
        fmt(why, cap, "%s: not a CD image (no ISO 9660 volume in any known layout)", t.file);
    } else {
        s->is_image = 1;
        fmt(s->path, sizeof s->path, "%s", t.file);
        fmt(s->desc, sizeof s->desc, "image %s", t.file);
        return s;
    }
    pf_close(s->handle);
    free(s);
    return nullptr;
}

CdSrc *cd_open_mem(const uint8_t *data, uint64_t size) {
    CdSrc *s = static_cast<CdSrc *>(calloc(1, sizeof(CdSrc)));
    if (!s) return nullptr;
    s->handle = PF_INVALID;
    s->mem = data;
    s->mem_size = size;
    s->image_size = size;
    if (!iso_probe_layouts(s)) {
        free(s);
        return nullptr;
    }
    s->is_image = 1;
    fmt(s->path, sizeof s->path, "(memory)");
    fmt(s->desc, sizeof s->desc, "image %s", s->path);
    return s;
}

void cd_close(CdSrc *s) {
    if (!s) return;
    pf_close(s->handle);
    free(s);
}

const char *cd_describe(CdSrc *s) { return s->desc; }

int cd_exists(CdSrc *s, const char *rel) {
    if (s->is_image) return iso_exists(s, rel);
    char full[PATH_BUF];
    fmt(full, sizeof full, "%s\\%s", s->path, rel);
    return path_exists(full);
}

uint8_t *cd_read(CdSrc *s, const char *rel, uint64_t *size) {
    if (!s->is_image) {
        char full[PATH_BUF];
        fmt(full, sizeof full, "%s\\%s", s->path, rel);
        return read_file(full, size);
    }
    return iso_read(s, rel, size);
}

namespace {

// The total of the folder or file at `rel` (empty: the root), walking as the copy does; w->longest
// holds the longest path below it afterwards. 0 when there is nothing at `rel`.
uint64_t total_of(CdSrc *s, const char *rel, size_t *longest) {
    *longest = 0;
    if (s->is_image) return iso_total_of(s, rel, longest);
    char full[PATH_BUF];
    if (!*rel) return dir_total(s->path, 0, longest, 0);
    if (!join_path(full, s->path, rel)) return 0;
    if (is_dir(full)) return dir_total(full, 0, longest, 0);
    pf_file f = pf_open_read(full, 0);
    uint64_t size = 0;
    if (f == PF_INVALID || !pf_size(f, &size)) size = 0;
    pf_close(f);
    return size;
}

}  // namespace

// Walks the whole CD once per source.
static void measure(CdSrc *s) {
    if (s->measured) return;
    s->total = total_of(s, "", &s->longest);
    s->measured = 1;
}

uint64_t cd_total_bytes(CdSrc *s) {
    measure(s);
    return s->total;
}

size_t cd_longest_path(CdSrc *s) {
    measure(s);
    return s->longest;
}

uint64_t cd_bytes_of(CdSrc *s, const char *rel) {
    size_t longest;
    return total_of(s, rel, &longest);
}

int copy_workers(uint32_t drive_type, unsigned processors) {
    if (drive_type == PF_DRIVE_CDROM) return 1;
    if (processors < 1) return 1;
    return processors > 4 ? 4 : static_cast<int>(processors);
}

namespace {

int copy_with(CdSrc *s, const char *dest, Progress *p, int workers, CopyNote note, void *ctx) {
    CopyPlan plan = {jobs_new(), jobs_new(), note, ctx};
    int ok = 0;
    if (!plan.folders || !plan.files)
        setup_log("not enough memory to copy %s", dest);
    else if (s->is_image)
        ok = iso_copy_all(s, dest, p, workers, &plan);
    else
        ok = copy_planned(&plan, dest, dir_plan(s->path, dest, &plan, 0), workers, FOLDER_CHUNK, copy_folder_file,
                          nullptr, p);
    jobs_free(plan.folders);
    jobs_free(plan.files);
    return ok;
}

}  // namespace

int copy_planned(const CopyPlan *plan, const char *dest, int planned, int workers, size_t buf_size, CopyJobFn fn,
                 void *fn_ctx, Progress *p) {
    if (plan->note) {
        size_t skip = strlen(dest);
        const CopyJobs *lists[2] = {plan->folders, plan->files};
        for (int folder = 1; folder >= 0; --folder)
            for (size_t i = 0; i < jobs_count(lists[1 - folder]); ++i) {
                const char *to = jobs_at(lists[1 - folder], i).to;
                if (!plan->note(plan->ctx, strlen(to) > skip ? to + skip + 1 : "", folder)) return 0;
            }
        if (!plan->note(plan->ctx, nullptr, 0)) return 0;
    }
    for (size_t i = 0; i < jobs_count(plan->folders); ++i) make_folder(jobs_at(plan->folders, i).to);
    int copied = jobs_run(plan->files, workers, buf_size, fn, fn_ctx, p);
    return planned && copied;
}

int cd_copy_all(CdSrc *s, const char *dest, Progress *p) { return cd_copy_noted(s, dest, p, nullptr, nullptr); }

int cd_copy_noted(CdSrc *s, const char *dest, Progress *p, CopyNote note, void *ctx) {
    return copy_with(s, dest, p, copy_workers(pf_drive_type(s->path), pf_processor_count()), note, ctx);
}

int cd_copy_all_with(CdSrc *s, const char *dest, Progress *p, int workers) {
    return copy_with(s, dest, p, workers, nullptr, nullptr);
}
