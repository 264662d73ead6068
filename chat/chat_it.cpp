// The chat room (placeholder: returns to the menu at once until the chat lands).
#include "chat_it.h"
#include "main.h"

void chat_prog(int chat_type)
{
  (void)chat_type;
  program_state = 1;
}
