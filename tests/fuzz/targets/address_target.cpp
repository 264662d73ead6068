// Fuzz target: the input as an Internet address text. Reading it (and its
// host part alone) gives what the text rules say (address_rules.h), with a
// name lookup exactly for the hosts that are no dotted quad; preparing it in
// the background finishes and never writes past the 128-byte field. Lookups
// go to the fake resolver linked in, so none leaves the process.
#include <sched.h>
#include <string.h>

#include <string>

#include "address_rules.h"
#include "fake_resolver.h"
#include "inetaddr.h"
#include "target.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size > 400) return 0;  // nothing is read past 127 characters
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.c_str();  // what a C text holds

  address_rules::Reading want = address_rules::read_text(text);
  unsigned int addr = 0;
  int port = -99;
  long before = fake_lookups();
  int result = __netlane_internal__parse_address(text.c_str(), &addr, &port);
  FUZZ_CHECK(result == want.result);
  FUZZ_CHECK(port == want.port);
  FUZZ_CHECK(result != 0 || addr == want.addr);
  FUZZ_CHECK(fake_lookups() - before == (want.lookup ? 1 : 0));

  std::string host = text.substr(0, text.find(':'));
  if (!host.empty()) {
    address_rules::Reading host_want = address_rules::read_host(host);
    before = fake_lookups();
    FUZZ_CHECK(__netlane_internal__get_address(host.c_str(), &addr) == host_want.result);
    FUZZ_CHECK(host_want.result != 0 || addr == host_want.addr);
    FUZZ_CHECK(fake_lookups() - before == (host_want.lookup ? 1 : 0));
  }

  // The whole field, unterminated when the text fills it.
  NET_PREPADDR_DATA d;
  memset(&d, 0, sizeof d);
  memcpy(d.src, text.data(), text.size() < sizeof d.src ? text.size() : sizeof d.src);
  char dest[NET_MAX_ADDRESS_LENGTH + 16];
  memset(dest, 0x55, sizeof dest);
  d.dest = dest;
  FUZZ_CHECK(__netlane_internal__inet_prepareaddress(&d) == 0);
  int prepared = 0;
  for (int n = 0; n < 1000000 && prepared == 0; n++) {
    prepared = __netlane_internal__inet_poll_prepareaddress(&d);
    if (prepared == 0) sched_yield();
  }
  FUZZ_CHECK(prepared == 1 || prepared == -1);
  FUZZ_CHECK(dest[NET_MAX_ADDRESS_LENGTH] == 0x55);
  return 0;
}
