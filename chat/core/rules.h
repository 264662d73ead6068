// The chat's packet rules: what the host and a client do with each chat
// packet they receive, and the packets they build for the local user.
#ifndef YAMMER_RULES_H
#define YAMMER_RULES_H

#include "network.h"

// Host: the user number handed to each client conn (0 until its "ReJo" is
// handled). Lines are credited by conn, not by what the packet claims.
extern int client_user[MAX_CLIENTS];

// Client: the host said "Bye!"; typed lines are no longer sent.
extern bool host_ended;
extern const char *host_ended_text;
// Client: why the host refused the join ("Nope"); NULL while it has not.
extern const char *join_refused;

// Host: client conn `conn_index` has gone (it said "Bye!" or fell silent):
// its user's leave is shown and told to the others ("Left"), its conn
// closed and its place and user number freed.
void host_client_gone(int conn_index);

// Forgets every conn's user number: a new chat starts.
void rules_reset();

// Handles the packet in packetbuffer by the host's rules; it came on
// client_conn[conn_index].
void host_handle_packet(int conn_index);
// Handles the packet in packetbuffer by the client's rules.
void client_handle_packet();
// Takes in the waiting messages of every client conn (host) or of the
// conn to the host (client), a bounded number per conn, and handles them.
void host_receive();
void client_receive();

// Host: a conn got a client place (client_conn[newest_client]); tells everybody.
void host_new_client();
// Client: the join request, sent once the conn is up.
void client_ask_to_join();
// The packet built in packetbuffer for a key: to every client from the
// host, to the host from a client.
void send_from_key(int chat_type);
// The typed line as "Mesg", then the line is emptied.
void send_typed_line(int chat_type);

#endif
