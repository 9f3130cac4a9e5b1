#ifndef ENCRYPT_VIDEO_START_H
#define ENCRYPT_VIDEO_START_H

#include <fuse_lowlevel.h>

#include "view.h"

// Mounts the view at mount_path and serves it until it is unmounted or
// stopped.  In the background, the command ends with 0 once the view
// answers, and otherwise with 1, saying why, and nothing left mounted.
[[noreturn]] void mount_and_serve(fuse_session *se, view &v, const char *name,
    const char *mount_path, const fuse_cmdline_opts &line);

#endif
