#include "files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string scratch_root;

void
remove_scratch_root()
{
	std::filesystem::remove_all(scratch_root);
}

}

// Every folder a test makes lives in one per process, under $TMPDIR, and
// goes when the process ends, so that a run leaves nothing behind.
std::string
make_temp_dir()
{
	if (scratch_root.empty()) {
		const char *tmp = std::getenv("TMPDIR");
		std::string root = std::string(tmp != nullptr && *tmp != '\0' ?
		    tmp : "/tmp") + "/encrypt_video_test.XXXXXX";
		if (mkdtemp(root.data()) == nullptr)
			throw std::runtime_error("mkdtemp failed in " + root);
		scratch_root = root;
		std::atexit(remove_scratch_root);
	}
	std::string dir = scratch_root + "/XXXXXX";
	if (mkdtemp(dir.data()) == nullptr)
		throw std::runtime_error("mkdtemp failed");
	return dir;
}

void
write_file(const std::string &path, std::string_view contents)
{
	std::ofstream(path, std::ios::binary) << contents;
}

std::string
read_file(const std::string &path)
{
	std::ostringstream contents;

	contents << std::ifstream(path, std::ios::binary).rdbuf();
	return contents.str();
}
