#ifndef ENCRYPT_VIDEO_PASSWORD_H
#define ENCRYPT_VIDEO_PASSWORD_H

#include <cstdint>

// What reading a password line can give besides a key.
inline constexpr std::int32_t password_unreadable = -1; // errno tells why
inline constexpr std::int32_t password_missing = -2;
inline constexpr std::int32_t password_with_zero_byte = -3;
inline constexpr std::int32_t password_interrupted = -4;
inline constexpr std::int32_t password_empty = -5;

// The key of the first line read from fd, hashed as it comes so that no
// copy of the password is ever held, or one of the values above.  While it
// waits, a signal on the signalfd signals, if one is given, interrupts it.
std::int32_t read_password_key(int fd, int signals = -1);
// The same from a terminal, asked for without echo.
std::int32_t ask_password_key(int terminal);

// Whether key is the one the check file at path was made with; where there
// is no such file, it is made for key.  The file holds the key itself,
// which tells no more than any scrambled file does to one who tries all
// 254.
enum class key_check { same, made, other, not_a_check, failed };
key_check check_key(const char *path, std::int32_t key); // failed: errno

// The key of the password from passfile, or else the terminal or standard
// input; or exits saying why there is none.
std::int32_t key_from(const char *name, const char *passfile);

// Exits saying why where key is not the one the check file was made with,
// or the check cannot be read or made.
void check_password(const char *name, const char *check, std::int32_t key);

#endif
