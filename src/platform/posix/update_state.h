// The POSIX record of a file opened for update, shared by update_file.cpp
// (open, lock, close) and replace.cpp (the rewrite).
#pragma once

#include "platform/temp_name.h"

#include <climits>
#include <cstdio>
#include <sys/types.h>

struct PlatUpdateFile {
    int fd;                  // the file opened at open; holds the flock
    int folder;              // the folder that held it then (O_PATH when unreadable)
    dev_t device;            // what the file is
    ino_t inode;             //
    uid_t owner;             // its owner, group and mode at open (which redo
    gid_t group;             // copies are trusted, and who may read them)
    mode_t mode;             //
    char name[NAME_MAX + 1]; // its name in folder
    FILE *rewrite;           // the stream of a rewrite in progress, or null
    // The temporary file beside it of that rewrite, or empty when the new
    // content goes to a scratch file instead.
    char tempName[NAME_MAX + 1];
};
