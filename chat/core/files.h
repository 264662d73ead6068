// Files sent to the chat: an offer goes to everybody, each taker gets its
// own copy in parts, and a taken file is saved only once its size and
// BLAKE2b-256 match the offer. A peer that knows none of these packets
// drops them like any unknown id.
//   "Offr" from, number, size (6 bytes), hash (32), name   offerer -> all
//   "Take" from, number, taker                              taker -> offerer
//   "Part" from, number, taker, offset (6), length (2), data  offerer -> taker
//   "Drop" from, number, taker (0: every taker)             either way: stop
// The host routes "Take", "Part" and "Drop" by user number and passes a
// part on only to a user whose "Take" it has seen.
#ifndef YAMMER_FILES_H
#define YAMMER_FILES_H

#include <stdint.h>
#include "netlane.h"

#define FILE_NAME_MAX   100  // bytes of a saved name
#define FILE_OFFER_NAME  55  // an offered name, terminator included: the offer fits PACKET_CLEAR
#define FILE_HASH        32
#define FILE_OFFERS      16  // offers remembered; the oldest goes first
#define FILE_SENDS        8  // copies this machine sends at once
#define FILE_TAKES        8  // files this machine receives at once
#define PART_HEAD        17  // "Part" and its fields; the data follows

// Largest file offered or taken, MiB; "max_file_mb" in the [chat] section
// of netlane.cfg.
extern int max_file_mb;
// Reads max_file_mb from the [chat] section of the file at `path`; a file
// or key that is missing, or a value below 1, leaves the default 256.
void files_load_config(const char *path);

// Result codes of file_offer and file_take_newest.
#define FILE_OK          0
#define FILE_NOT_REGULAR 1   // not a readable regular file
#define FILE_TOO_BIG     2   // above max_file_mb
#define FILE_NO_OFFER    3   // nothing offered that is not taken
#define FILE_NO_ROOM     4   // the disk has less free space than the file
#define FILE_NO_FOLDER   5   // the download folder cannot be made or written
#define FILE_BUSY        6   // FILE_SENDS or FILE_TAKES in flight already

// The name of `offered` as it may be saved: no path separators, no "..",
// no leading dot, no control characters, at most FILE_NAME_MAX bytes
// (cut on a character boundary); "file" when nothing is left.
void safe_file_name(const char *offered, char out[FILE_NAME_MAX + 1]);
// The folder files are saved in: $XDG_DOWNLOAD_DIR/Yammerlane, else
// $HOME/Downloads/Yammerlane, made with mode 0700 where missing.
// 0, or -1 when it cannot be made.
#define FILE_PATH_SIZE 4096
int download_folder(char out[FILE_PATH_SIZE]);
// A path in `folder` for `name` that neither exists nor has a ".part":
// the name itself, else "STEM (1).EXT", "STEM (2).EXT", ... 0, or -1.
int free_file_path(const char *folder, const char *name, char out[FILE_PATH_SIZE]);

// The local user offers the file at `path` to everybody. FILE_OK or a code;
// a line says which.
int file_offer(const char *path, int chat_type);
// The local user takes the newest offer not taken yet. FILE_OK or a code;
// a line says which.
int file_take_newest(int chat_type);

// F8: the local user stops the newest of its own transfers: a file coming
// in (the sender is told, the .part removed) or its newest offer, which is
// withdrawn (copies on their way end, their takers are told). FILE_OK, or
// FILE_NO_OFFER when nothing is on its way; a line says which.
int file_stop_newest(int chat_type);
// A file taken of which nothing comes for this long is given up with a
// line: its sender never answered the take, or stalled.
#define FILE_SILENT_MS 20000

// Host: the user number of each client conn (the rules' table), by which
// files are routed.
void files_host_users(const int *users);
// The packet in packetbuffer is one of the four: handled, and 1; else 0.
// `conn_index` is the client conn it came on (host), -1 at a client.
int files_packet(int conn_index);
// Every received message passes here before the rules see it, so that a
// part's data beyond the rules' bytes is kept.
void files_keep(const char *message, int size);
// Host: whether the parts of client conn `conn_index` can be taken in now
// (none of its parts still waits for a slow taker). 1 yes, 0 no.
int files_room(int conn_index);
// Once a step: parts sent while the windows have room, held parts passed
// on, progress told.
void files_step(int chat_type);
// Whether parts are on their way here: a copy of an own offer is being
// sent, or parts were taken in or passed on in the last FILE_BUSY_MS.
#define FILE_BUSY_MS 500
int files_busy();
// User `who` has left: the files from it and the copies to it end.
void files_user_gone(int who);
// The chat ends: every ".part" removed, every file closed.
void files_end();

#endif
