// Channels: the driver-independent layer of unreliable datagram endpoints,
// and the open-channel list that net_shutdown closes.
#include <stdlib.h>
#include <string.h>

#include "channels.h"
#include "internal.h"
#include "waitset_internal.h"

__channel_list_t *__netlane_internal__openchannels = NULL;
void *__netlane_internal__openchannels_mutex = NULL;

static void lock(void)
{
  __netlane_internal__mutex_lock(__netlane_internal__openchannels_mutex);
}

static void unlock(void)
{
  __netlane_internal__mutex_unlock(__netlane_internal__openchannels_mutex);
}

void __netlane_internal__channels_init(void)
{
  __channel_list_t *head = static_cast<__channel_list_t *>(malloc(sizeof *head));
  if (head) {
    head->next = NULL;
    head->chan = NULL;
  }
  __netlane_internal__openchannels = head;
  __netlane_internal__openchannels_mutex = NULL;
  __netlane_internal__mutex_create(&__netlane_internal__openchannels_mutex);
}

void __netlane_internal__channels_exit(void)
{
  __channel_list_t *head = __netlane_internal__openchannels;
  while (head && head->next) {
    if (net_closechannel(head->next->chan) != 0) break;
  }
  free(head);
  __netlane_internal__openchannels = NULL;
  __netlane_internal__mutex_destroy(__netlane_internal__openchannels_mutex);
  __netlane_internal__openchannels_mutex = NULL;
}

/* The new channel, or NULL when the library is down, memory ran out, no
 * driver is registered under `type`, the driver has no channels, or the
 * driver refused the binding text. The driver's init_channel runs without
 * the open-channel mutex: a binding text may name a host whose lookup takes
 * seconds, and other threads' channels must open and close meanwhile. The
 * channel joins the list once it is open. */
NET_CHANNEL *net_openchannel(int type, const char *addr)
{
  __channel_list_t *head = __netlane_internal__openchannels;
  if (!head) return NULL;

  __channel_list_t *node = static_cast<__channel_list_t *>(malloc(sizeof *node));
  NET_CHANNEL *chan = static_cast<NET_CHANNEL *>(malloc(sizeof *chan));
  if (!node || !chan) {
    free(node);
    free(chan);
    return NULL;
  }
  memset(chan, 0, sizeof *chan);
  chan->type = type;
  chan->driver = __netlane_internal__get_driver(type);
  if (!chan->driver || !chan->driver->init_channel || chan->driver->init_channel(chan, addr) != 0) {
    free(node);
    free(chan);
    return NULL;
  }
  chan->local_addr[NET_MAX_ADDRESS_LENGTH - 1] = '\0';

  lock();
  node->chan = chan;
  node->next = head->next;
  head->next = node;
  unlock();
  return chan;
}

/* 0: closed; 1: `channel` is not an open channel (nothing is called). */
int net_closechannel(NET_CHANNEL *channel)
{
  __channel_list_t *head = __netlane_internal__openchannels;
  if (!head || !channel) return 1;

  __netlane_internal__waitset_forget_channel(channel);
  lock();
  __channel_list_t *prev = head;
  while (prev->next && prev->next->chan != channel) prev = prev->next;
  __channel_list_t *node = prev->next;
  if (!node) {
    unlock();
    return 1;
  }
  prev->next = node->next;
  free(node);
  unlock();

  // Outside the lock: a driver may take its own lock here.
  if (channel->driver && channel->driver->destroy_channel) channel->driver->destroy_channel(channel);
  free(channel);
  return 0;
}

/* The driver's answer (0 accepted). Overlong texts are cut at 127
 * characters; the text stays in target_addr even when the driver refuses. */
int net_assigntarget(NET_CHANNEL *channel, const char *target)
{
  if (!channel) return -1;
  __netlane_internal__copy_address(channel->target_addr, target);
  if (!channel->driver->update_target) return -1;
  return channel->driver->update_target(channel);
}

char *net_getlocaladdress(NET_CHANNEL *channel)
{
  return channel ? channel->local_addr : NULL;
}

/* The driver's answer: 0 sent. */
int net_send(NET_CHANNEL *channel, const void *buffer, int size)
{
  if (!channel || !channel->driver->send) return -1;
  return channel->driver->send(channel, buffer, size);
}

/* The driver's answer: bytes received, 0 nothing waiting, -1 error. */
int net_receive(NET_CHANNEL *channel, void *buffer, int maxsize, char *from)
{
  if (!channel || !channel->driver->recv) return -1;
  return channel->driver->recv(channel, buffer, maxsize, from);
}

/* Nonzero when a packet waits. */
int net_query(NET_CHANNEL *channel)
{
  if (!channel || !channel->driver->query) return 0;
  return channel->driver->query(channel);
}

int __netlane_internal__channel_wait_fds(NET_CHANNEL *chan, int *fds, int max)
{
  if (!chan || !chan->driver->wait_fds || max <= 0) return 0;
  int got = chan->driver->wait_fds(chan, fds, max);
  return got < 0 ? 0 : got > max ? max : got;
}

/* The number the channel's driver record is registered under; -1 if none. */
int net_channel_driver(NET_CHANNEL *chan)
{
  if (!chan) return -1;
  return __netlane_internal__get_driver_by_ptr(chan->driver);
}
