// The chat's thin layer over netlane's conns: the host's listening conn and
// its client conns, the client's one conn to the host.
#ifndef YAMMER_NETWORK_H
#define YAMMER_NETWORK_H

#include "netlane.h"
#include "netops.h"
#include "session.h"

extern NET_CONN *listen_conn;               // host: the listening conn
extern NET_CONN *client_conn[MAX_CLIENTS];  // host: conns given a place; NULL once closed, until the place is taken again
extern int client_num;                      // host: places used so far, 0-10
extern NET_CONN *server_conn;               // client: the conn to the host
extern bool connected;                      // client: the join request has gone out

// How Client_init waits for the host: it polls every connect_poll_ms and
// gives up after connect_time_limit_ms (defaults 200 and 10000).
extern int connect_poll_ms;
extern int connect_time_limit_ms;

// Set by Server_init and Client_init: their result 1 came from a bad PORT
// field, not from the conn.
extern bool port_field_refused;

// Starts netlane (a second start does nothing), reads "netlane.cfg" and
// brings up every driver that the machine has.
void Init_network_stuff();

// 1 when `port` is empty or a number from 1 to 65535 in decimal digits, else 0.
int port_text_ok(const char *port);

// Opens the host's listening conn on the UDP driver: on the PORT field's
// port when one is typed, else on the driver's configured port.
// 0 listening; 1 opening the conn failed (or the PORT field is bad);
// 2 making it listen failed.
int Server_init();
// Accepts every new conn among up to 64 datagrams of the listening port,
// and gives a client place to at most one conn a step, one whose "ReJo"
// has arrived (the oldest such); conns without a "ReJo" for
// join_time_limit_ms (5000) are closed. 1 when a conn got a place
// (client_conn[newest_client]: a place a closed conn left, else
// client_num - 1), else 0. The listening conn stays open, so a place that
// frees up can be taken again. A new conn from the address and port of a
// conn that holds a place, or from an address turned away for guessing
// keys, is closed at once.
int Sever_listen_for_new_client();
// The "ReJo" with which client place `place` was won, into the first
// PACKET_CLEAR bytes of `packet`: 1 once after the place was given, else 0.
int take_join_request(int place, char *packet);
extern int join_time_limit_ms;
extern int newest_client;
// Closes every client conn and the listening conn; no clients remain.
void Server_exit();

// Opens a conn and connects it to `ip_address` (with ":PORT" from the PORT
// field appended when the address names no port), polling a few times a
// second. 0 connected; 1 opening the conn failed (or the PORT field is
// bad); 2 initiating the connection failed; 3 no answer within the limit;
// 4 the user cancelled the wait (connect_wait_hook answered nonzero).
int Client_init(const char *ip_address);
// Called by Client_init every few dozen ms while it waits, with the address
// it is trying and the ms it will keep trying; nonzero cancels the wait.
// NULL: the wait shows nothing and cannot be cancelled.
extern int (*connect_wait_hook)(const char *peer, long remaining_ms);
// Closes the conn to the host and clears `connected`.
void Client_exit();

// The second line of the box that a failed Server_init or Client_init
// shows: why, from the library's cause where it knows one ("UDP port 24785
// is in use by another program", "No such host: example.org", "Nobody
// answered at 10.0.0.5:24785 for 10 seconds"); "" after success.
#define FAILURE_CAUSE_SIZE 120
extern char failure_cause[FAILURE_CAUSE_SIZE];

// This machine's addresses that others can reach it at, as address texts
// without a port: its IPv4 addresses, the loopback ones only when it has
// no other. At most `max`; answers how many were written.
#define MACHINE_ADDRESS_SIZE 64
int machine_addresses(char addresses[][MACHINE_ADDRESS_SIZE], int max);

// Whose packet a send serves: the host's client conn 0-9 whose packet it
// answers or relays, or OWN_ORIGIN for what this machine sends of its own
// accord (the host's own lines and notices, everything a client sends).
#define OWN_ORIGIN MAX_CLIENTS

// The next message of `conn` into `message` (PACKET_SIZE bytes), opened
// when the chat is keyed: its size, 0 when none waits, -1 for one that
// could not be read or was empty (dropped), SEAL_BROKEN for a "Seal" that did not open.
int receive_chat_message(NET_CONN *conn, char *message);

// Sends the chat packet `packet` (PACKET_SIZE bytes, zero after its first
// PACKET_CLEAR) on `conn` for `origin`. When the conn's window is full the
// packet waits in the conn's backlog, behind the same origin's earlier
// packets, and goes out from backlog_flush. 0 sent or waiting; -1 dropped
// (counted in backlog_dropped): `origin` already has 16 packets waiting
// for this conn.
int send_packet(NET_CONN *conn, const char *packet, int origin);
// Whether `packets` more packets for `origin` fit every other client
// conn's backlog: 1 yes, 0 no (the host then leaves that client's messages
// unread, so the pressure reaches the client's own window). A backlog that
// has sent nothing for backlog_stuck_ms (3000) does not count: its peer
// takes nothing, and what it cannot queue is dropped.
int relay_room(int origin, int packets);
extern int backlog_stuck_ms;
// Whether a packet of this machine's own would be taken for `conn` now
// (sent or queued): 1 yes, 0 its backlog is full.
int send_room(NET_CONN *conn);
// Sends a file's part (all PACKET_SIZE bytes) on `conn` only when nothing
// waits in its backlog and its window takes it now, so chat packets go
// ahead of parts and no part is queued. 0 sent, 1 not now.
int send_part(NET_CONN *conn, const char *packet);
// Sends what the backlogs hold, the origins of a conn taking turns, until
// each window is full again.
void backlog_flush();
extern int backlog_dropped;
// Host: closes client conn `index` and drops what waits for it.
void close_client(int index);

// A peer silent this long has gone: several keep-alives in a row are lost.
#define PEER_GONE_MS 10000
// Milliseconds since `conn` last heard its peer; -1 when it cannot say,
// which includes a peer that has never sent a keep-alive; at least
// PEER_GONE_MS once the conn counts its peer as dead.
int peer_silence(NET_CONN *conn);
// Sends "Bye!" on every conn this side holds, then gives the conns a
// moment (at most BYE_LINGER_MS) to get it across before they close.
#define BYE_LINGER_MS 300
void say_bye(int chat_type);

#endif
