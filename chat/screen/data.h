// Indices of the objects in "data.dat".
#ifndef YAMMER_DATA_H
#define YAMMER_DATA_H

#define JOIN_SOUND     0   // sample: a participant entered the chat
#define ALERT_SOUND    2   // sample: the alert (F2)
#define MENU_FONT      5   // font of every menu text
#define MESSAGE_SOUND  6   // sample: a chat line was posted

#endif
