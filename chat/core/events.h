// What the chat's core tells whatever shows the chat: one record of
// callbacks, filled by the screen or by the console host. The core draws
// nothing, plays nothing and prints nothing itself.
#ifndef YAMMER_EVENTS_H
#define YAMMER_EVENTS_H

// The sounds that go with events; the numbers are the samples' indices in
// the screen's datafile, so the screen plays them as they are.
#define CUE_JOIN     0   // a participant entered the chat
#define CUE_MESSAGE  6   // a chat line was posted

// A slot left NULL: that event is not shown. Events added later go at the
// end, so a record that does not fill them shows what it did before.
typedef struct chat_events_typ {
  void (*line)(const char *who, int color, const char *text);  // a log line under `who`
  void (*users_changed)();          // a name, a colour or a slot of `user` changed
  void (*background)(int seed);     // a new background, pattern `seed` 0-255, and a new log page
  void (*alert)(int who);           // the alert; `who` its user number, 0 when unknown
  void (*sound)(int cue);           // CUE_JOIN, CUE_MESSAGE
  void (*ended)(const char *reason);  // the chat is over at this end (`done` set when it leaves at once)
  void (*file_offered)(const char *who, const char *name, long long size);  // an offer F7 can take (its line is out already)
  // A file coming in, in place `slot` 0-7: `got` of `size` bytes after
  // `ms`; `got` -1: it is over (saved or not), the place is free.
  void (*file_progress)(int slot, const char *name, long long got, long long size, long ms);
  void (*file_saved)(const char *path);  // a file taken is complete (its line is out already)
} chat_events;

// Whoever shows the running chat; all NULL until one installs itself.
extern chat_events chat_out;

// The core's calls: each one calls its slot of chat_out when it is set.
void out_line(const char *who, int color, const char *text);
void out_users_changed();
void out_background(int seed);
void out_alert(int who);
void out_sound(int cue);
void out_ended(const char *reason);
void out_file_offered(const char *who, const char *name, long long size);
void out_file_progress(int slot, const char *name, long long got, long long size, long ms);
void out_file_saved(const char *path);

#endif
