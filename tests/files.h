#ifndef ENCRYPT_VIDEO_FILES_H
#define ENCRYPT_VIDEO_FILES_H

#include <string>
#include <string_view>

// A new folder under $TMPDIR, removed with everything in it when the test
// process ends.
std::string make_temp_dir();
void write_file(const std::string &path, std::string_view contents);
std::string read_file(const std::string &path);

#endif
