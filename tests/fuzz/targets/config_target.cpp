// Fuzz target: the input as a configuration file. Each driver's section and
// the shared "conns" section read by the library's readers give what the
// file rules say (config_rules.h), and net_loadconfig leaves every driver's
// conn settings usable: queue sizes powers of two from 1 to 2^30, a resend
// rate other than 0.
#include <unistd.h>

#include <string>

#include "config_rules.h"
#include "connhelp.h"
#include "internal.h"
#include "netlane.h"
#include "target.h"

static std::string path;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  FUZZ_CHECK(net_init() == 0);
  path = "/tmp/yl-fuzz-config-" + std::to_string(getpid()) + ".cfg";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  FILE *fp = fopen(path.c_str(), "w+");
  FUZZ_CHECK(fp != NULL);
  FUZZ_CHECK(fwrite(data, 1, size, fp) == size);
  fflush(fp);
  std::string text(reinterpret_cast<const char *>(data), size);
  for (const char *section : {"internet", "conns", "s", "winsock_win", "ipx"}) {
    FUZZ_CHECK(config_rules::actual_settings(fp, section) == config_rules::expected_settings(text, section));
  }
  fclose(fp);

  FUZZ_CHECK(net_loadconfig(path.c_str()) == 0);
  unlink(path.c_str());
  for (int n = 1; n <= 31; n++) {
    NET_DRIVER *drv = __netlane_internal__get_driver(n);
    if (!drv || !drv->load_conn_config) continue;
    const conn_config *cfg = __netlane_internal__get_conn_config(drv);
    for (int queue : {cfg->outqueue_size, cfg->inqueue_size}) {
      FUZZ_CHECK(queue >= 1 && queue <= 1 << 30);
      FUZZ_CHECK((queue & (queue - 1)) == 0);
    }
    FUZZ_CHECK(cfg->resend_rate != 0);
  }
  return 0;
}
