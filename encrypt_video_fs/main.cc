#include <climits>
#include <cstdint>
#include <cstdlib>

#include "edge.h"
#include "options.h"
#include "password.h"
#include "start.h"
#include "view.h"

int
main(int argc, char *argv[])
{
	command_line line{.name = program_name(argc, argv, "encrypt_video_fs")};
	fuse_args args = FUSE_ARGS_INIT(argc, argv);
	fuse_cmdline_opts fuse_line{};
	char dir_path[PATH_MAX];
	char mount_path[PATH_MAX];

	keep_standard_streams();
	parse_command_line(args, line, fuse_line);
	const int dir = open_folders(line.name, line.dir, line.mount_point,
	    line.allow_empty != 0, dir_path, mount_path);
	view v(dir, line.settings, share_descriptors());
	fuse_session *se = open_session(args, v, dir_path);
	check_fuse_is_here(line.name);
	const std::int32_t key = key_from(line.name, line.passfile);
	std::free(line.passfile);
	if (line.passcheck != nullptr)
		check_password(line.name, line.passcheck, key);
	std::free(line.passcheck);
	v.scramble = make_scrambler(key);
	mount_and_serve(se, v, line.name, mount_path, fuse_line);
}
