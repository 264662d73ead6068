// A host-name lookup that never leaves the process: the fuzz programs and
// the address-text tests define getaddrinfo themselves, so whatever text
// reaches the Internet driver's lookup is answered here from a fixed table
// (or refused) and counted, and no query can go out however the texts are
// made.
#ifndef FUZZ_FAKE_RESOLVER_H
#define FUZZ_FAKE_RESOLVER_H

#include <string>

// Lookups made so far in this process.
long fake_lookups();
// The address a name has in the table (host order); false when unknown.
// Known: "localhost" 127.0.0.1, "gamma" 10.1.2.3, "loop7" 127.0.0.7,
// "slow" 127.0.0.1, and "dual" 10.0.0.8 (its IPv4 address, below).
bool fake_known(const std::string &name, unsigned int *address);
// IPv6 names: "six" (2001:db8::7 alone) and "dual" (2001:db8::8 before
// 10.0.0.8); `bytes` gets the IPv6 address, `address` the IPv4 one or 0.
bool fake_known6(const char *name, unsigned char *bytes, unsigned int *address);

// While held, a lookup of "slow" waits until it is let go (ten seconds at
// most), as a name whose server is slow to answer would.
void fake_hold_slow(bool hold);
// Lookups of "slow" waiting now.
int fake_slow_waiting();

#endif
