// The running chat without a screen: its start as host or client, one
// logic step, the local user's line, its end. The screen and the console
// host both drive a chat through these; what happens is told through
// chat_out (events.h).
#ifndef YAMMER_ENGINE_H
#define YAMMER_ENGINE_H

// Room for the text of a failed start: a heading, a newline and the cause.
#define START_FAILURE_SIZE 200

// Host: starts the chat from host_name, pick_color, port_num and chat_key
// (keyed when not empty): K, the listening conn, user 1, the "Others can
// join at" lines and the discovery answerer. 0 listening; otherwise what
// failed (Server_init's 1 or 2, or 1 for the key) with the box text in
// `why` ("Error opening conn\n" and the cause).
int chat_host_open(char why[START_FAILURE_SIZE]);
// Client: connects to ip_addy and, with chat_key, passes the key's check;
// `wait_hook` is called while it waits (NULL: nothing shown, no cancel).
// 0 joined; Client_init's 1-4 otherwise, with the box text in `why` ("" for
// 4, which the user chose).
int chat_join_open(int (*wait_hook)(const char *peer, long remaining_ms), char why[START_FAILURE_SIZE]);

// One logic step's network work: joins, the typed line, receiving.
void chat_net_step(int chat_type);

// Between logic steps, while files are on their way (files_busy): the
// conns are read and the parts sent and passed on, then up to a
// millisecond is waited for the next message, so a transfer is not held
// to one window of parts a 60 Hz step. A loop calls it again and again
// while it waits for the next step. 1 when files were on their way, else
// 0 at once: nothing was done and the caller sleeps as it would.
int chat_files_pump(int chat_type);

// The local user pressed Enter on the line in user[my_number].typings: the
// line is shown and marked to go out at the next step, or a note says why
// it is not sent.
void chat_say(int chat_type);

// Ends the chat: the others are told, the conns closed, the tables wiped.
void chat_close(int chat_type);

// Host: users in the chat, the host included (what discovery tells).
int users_present();

#endif
