// The chat's participants and the flags of the running chat, shared by the
// rules, the conns and whatever shows the chat. No screen here.
#ifndef YAMMER_SESSION_H
#define YAMMER_SESSION_H

#define MAX_USERS     10  // user numbers 0-9; 0 is never handed out, the host is 1
#define MAX_CLIENTS   10  // client conns the host accepts in one chat
#define WAITING_MAX   64  // host: accepted conns that have not asked to join yet
#define USER_NAME     10  // 9 characters and the terminator
#define USER_TYPINGS  55  // a typed line: 54 characters and the terminator
#define USER_DATA     60  // scratch text: a 50-byte text field, a number, a notice

// One chat participant, indexed by user number.
typedef struct user_typ {
  char name[USER_NAME];          // empty: the slot is free
  int text_color;                // palette index of this user's lines
  int counter;                   // reserved
  char typings[USER_TYPINGS];    // the local user's line being typed
  char array_name[USER_NAME];    // reserved
} the_user;

extern the_user user[MAX_USERS];
extern int user_num;      // host: the highest user number handed out
extern int my_number;     // this machine's user number; the host is 1
extern bool done;         // ends the chat loop
extern bool send_flag;    // the typed line goes out this step
extern char user_data[USER_DATA];
extern const char *a_new_user;
extern const char *change;

// Zeroes words[0] .. words[array - 1], whatever the text's length.
void clear_string(char *words, int array);

#endif
