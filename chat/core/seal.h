// Private chats: the chat key typed in KEY, the clear packets that make the
// keys of one conn ("Open", "Lock", "Nope") and the "Seal" that carries every
// chat packet of a keyed chat. An empty KEY leaves every conn in clear.
#ifndef YAMMER_SEAL_H
#define YAMMER_SEAL_H

#include <stdint.h>
#include "netlane.h"
#include "packet.h"

#define KEY_TEXT_SIZE 41   // the KEY field: 40 characters and the terminator
extern char chat_key[KEY_TEXT_SIZE];

#define SEAL_VERSION   1
#define SEAL_SALT     16   // drawn by the host when its chat starts
#define SEAL_PUBLIC   32   // an X25519 public (or secret) key
#define SEAL_KEY      32   // K, and the key of each direction of a conn
#define SEAL_INNER   256   // bytes of the chat packet that a "Seal" carries
#define SEAL_END     (12 + SEAL_INNER + 16)  // a "Seal" is zero from here on
#define SEAL_BULK    (12 + PACKET_SIZE + 16) // a "Bulk": a whole chat packet sealed

// What "Nope" says, in its byte 4.
#define NOPE_NEEDS_KEY 1   // the conn's first packet was not "Open"
#define NOPE_WRONG_KEY 2   // its first "Seal" did not open

// Guessing keys online: this many wrong keys within the window turn away
// for SEAL_BLOCK_MS the host (IPv4 address, IPv6 /64) of conns that proved
// they receive, and the exact address and port of other conns; other
// conns' host, for its conns that have not proved themselves, after
// SEAL_UNPROVED_HOST_LIMIT (seal.cpp says why).
#define SEAL_FAILURE_LIMIT         5
#define SEAL_UNPROVED_HOST_LIMIT  20
#define SEAL_FAILURE_WINDOW_MS 60000
#define SEAL_BLOCK_MS          60000

// What a joining client shows when its join ends for the key.
extern const char *needs_key_text;   // "This chat needs a key"
extern const char *wrong_key_text;   // "Wrong key for this chat"
extern const char *no_key_text;      // "This chat has no key: leave KEY empty to join it"
extern const char *no_lock_text;     // the host never answered "Open"

// Drawn by the connect wait while the key is being checked; NULL otherwise.
extern const char *connect_wait_note;

// The clock the failure limit reads (clock_ms); tests put their own.
extern long (*seal_clock)();
// Keys found wrong, and "Seal" packets that did not open, on any conn.
extern long seal_failures;

/* ---- Codec: every packet is PACKET_SIZE bytes, zero-filled ---- */

// K: Argon2id v1.3 of `key_text` with `salt`. 0, or -1 when the memory it
// needs (64 MiB) cannot be had.
int seal_derive(const char *key_text, const unsigned char salt[SEAL_SALT], unsigned char k[SEAL_KEY]);
void seal_make_open(char *packet, const unsigned char cpk[SEAL_PUBLIC]);
void seal_make_lock(char *packet, const unsigned char salt[SEAL_SALT], const unsigned char hpk[SEAL_PUBLIC]);
void seal_make_nope(char *packet, int reason);
// The 64 bytes of one conn's keys (client -> host, then host -> client)
// from K, the own secret, the other side's public key and both public
// keys. 0, or -1 when the shared secret is all zero.
int seal_conn_keys(const unsigned char k[SEAL_KEY], const unsigned char own_secret[SEAL_PUBLIC],
                   const unsigned char other_public[SEAL_PUBLIC], const unsigned char cpk[SEAL_PUBLIC],
                   const unsigned char hpk[SEAL_PUBLIC], unsigned char keys[2 * SEAL_KEY]);
// Builds the "Seal" of the first SEAL_INNER bytes of `inner` in `packet`.
void seal_packet(char *packet, const char *inner, uint64_t counter, const unsigned char key[SEAL_KEY]);
// Builds the "Bulk" of all PACKET_SIZE bytes of `inner` in `packet`
// (SEAL_BULK bytes).
void seal_bulk_packet(char *packet, const char *inner, uint64_t counter, const unsigned char key[SEAL_KEY]);
// Opens the "Seal" in `packet` (`size` bytes) into `inner` (PACKET_SIZE
// bytes, zero after the first SEAL_INNER), or the "Bulk" (all PACKET_SIZE).
// 0, or -1 when it is neither, its counter is not `expected` or it does
// not open with `key`.
int seal_unseal(char *inner, const char *packet, int size, uint64_t expected, const unsigned char key[SEAL_KEY]);

/* ---- The running chat ---- */

// Whether the running chat has a key.
bool seal_keyed();

// Host: draws the salt and derives K from `key_text`, before listening.
// 0, or -1 (no memory for Argon2id).
int seal_host_start(const char *key_text);
// Host, for a conn just accepted or waiting: 1 when it is turned away for
// wrong keys tried from its host or its address (the caller closes the conn
// at once), else 0.
int seal_host_blocked(NET_CONN *conn);
// Host, for an accepted conn that has no place yet: answers its "Open" with
// "Lock" and opens its first "Seal". 1: it opened, the conn earns its place
// and its packet waits for the rules (seal_held); 0: not yet; -1: refused
// (a "Nope" is on its way and the conn is this layer's to close: forget it).
int seal_admit(NET_CONN *conn);
// Host, once a step: closes refused conns once their "Nope" is delivered.
void seal_step();

// Client, on a conn just connected: sends "Open", waits for "Lock" (calling
// `wait_hook` as the connect wait does), derives K and makes the conn's
// keys. 0 joined; 1 refused (*why says why); 4 the user cancelled.
int seal_client_join(NET_CONN *conn, const char *key_text,
                     int (*wait_hook)(const char *peer, long remaining_ms), const char **why);
// How long a client waits for "Lock".
extern int lock_wait_ms;

// Sends the chat packet `packet` on `conn`: as it is in a chat without a
// key, else as the conn's next "Seal". The send's result; 0 and nothing
// sent on a keyed conn without keys (nothing goes in clear).
int seal_send(NET_CONN *conn, const char *packet);
// Sends a file's part `packet` on `conn`: as it is in a chat without a
// key, else as the conn's next "Bulk", which carries all PACKET_SIZE bytes.
// Only a peer that took a file is sent one. As seal_send.
int seal_send_bulk(NET_CONN *conn, const char *packet);
// 1 and the packet with which `conn` earned its place in `packet`, once.
int seal_held(NET_CONN *conn, char *packet);
// What was received on `conn` (`size` bytes in `packet`, which has room
// for SEAL_BULK): 1 when `packet` now holds a chat packet for the rules
// (the packet as it came in a chat without a key, a "Nope", or what a
// "Seal" or "Bulk" carried, zero-filled); -2 when
// it did not open: the conn is broken and is to end.
#define SEAL_BROKEN -2
int seal_take(NET_CONN *conn, char *packet, int size);
// Before `conn` is closed: its keys are wiped.
void seal_forget(NET_CONN *conn);
// The chat has ended: every key wiped, conns still closing closed.
void seal_end();

#endif
