#ifndef ENCRYPT_VIDEO_START_H
#define ENCRYPT_VIDEO_START_H

#include <fuse_lowlevel.h>

#include <climits>

#include "view.h"

// With a standard stream closed, DIR would take its number, and the
// daemon's /dev/null would then take DIR's place: each is held open.
void keep_standard_streams();

// DIR and MOUNTPOINT checked, both made absolute (the daemon runs in "/"),
// and DIR opened; an empty DIR only where allowed.  Exits saying why
// where they cannot be a view.
int open_folders(const char *name, const char *dir, const char *mount_point,
    bool allow_empty, char (&dir_path)[PATH_MAX], char (&mount_path)[PATH_MAX]);

// Raises the process's descriptor limit as far as it may go and shares it
// out between open files, open folders and nodes.
descriptor_limits share_descriptors();

// The session of v, its options checked (libfuse's words where it refuses
// one) before the password is asked for, and the view's own forced on it.
fuse_session *open_session(fuse_args &args, view &v, const char *dir_path);

// Exits saying what to do where this machine cannot serve a view.
void check_fuse_is_here(const char *name);

// Mounts the view at mount_path and serves it until it is unmounted or
// stopped.  In the background, the command ends with 0 once the view
// answers, and otherwise with 1, saying why, and nothing left mounted.
[[noreturn]] void mount_and_serve(fuse_session *se, view &v, const char *name,
    const char *mount_path, const fuse_cmdline_opts &line);

#endif
