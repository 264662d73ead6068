// The chat's participants and the flags of the running chat.
#include <string.h>
#include "session.h"

the_user user[MAX_USERS];
int user_num = 1;
int my_number = 1;
bool done = false;
bool send_flag = false;
char user_data[USER_DATA];
const char *a_new_user = "A new user joined the chat";
const char *change = "Lets change it up a bit!";

void clear_string(char *words, int array)
{
  memset(words, 0, array);
}
