// Ports for tests that listen, shared by the chat's tests and the console
// host's.
#ifndef CHAT_TEST_PORT_H
#define CHAT_TEST_PORT_H

// A UDP port of 32200-32299 that no other test process uses (the chat's
// end-to-end tests claim from the same lock files): the program binds
// without address reuse, so a host on a port that another test holds gets
// no conn at all, and a port merely seen free can be taken by another test
// before the host binds it. The claim lasts until *lock_fd is closed; -1
// when none.
int claim_test_port(int *lock_fd);

#endif
