// The values a chat starts from: what the menu's fields hold, or what the
// console host's options give.
#ifndef YAMMER_FIELDS_H
#define YAMMER_FIELDS_H

// Field widths include the terminator. HOST IP takes any dotted quad with a
// port ("192.168.100.200:24785") and the longest IPv6 address with a zone
// (45 characters); PORT takes "65535".
#define NAME_SIZE     10
#define IP_ADDY_SIZE  46
#define PORT_NUM_SIZE  6

extern int pick_color;         // the colour in force
extern char host_name[NAME_SIZE];
extern char client_name[NAME_SIZE];
extern char ip_addy[IP_ADDY_SIZE];
extern char port_num[PORT_NUM_SIZE];

#endif
