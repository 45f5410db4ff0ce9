// The mail host's users and their passwords (the secret for USER/PASS, APOP and AUTH PLAIN).
//
// Owns: the user table, filled once before the server starts and read-only after that.
// Threads: user_store_load/user_store_set_defaults on the main thread before any session
// starts; user_store_password from every session thread afterwards, without a lock.
#pragma once
#include <string>

// The users built in, so that the host runs without a file: alice/wonderland, bob/builder.
void user_store_set_defaults();
// Replaces the users with those of `path`: one "name:password" a line (the first ':' splits,
// so a password may hold ':'), blank lines and lines starting with '#' skipped, a trailing CR
// dropped. False with `error` set when the file cannot be read or a line has no ':' or an
// empty name; the users are then unchanged.
bool user_store_load(const std::string &path, std::string *error);
// Replaces the users with those of `text` in the file's form (used by the loader and tests).
bool user_store_parse(const std::string &text, std::string *error);
// The password of `name` (names compare exactly); false when there is no such user.
bool user_store_password(const std::string &name, std::string *password);
int user_store_count();
