// The chat room: its loop, protocol rules and screen.
#ifndef YAMMER_CHAT_IT_H
#define YAMMER_CHAT_IT_H

void chat_prog(int chat_type);

#endif
