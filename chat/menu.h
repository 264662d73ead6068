// The menu front end and the values it leaves for the chat.
#ifndef YAMMER_MENU_H
#define YAMMER_MENU_H

// Field widths include the terminator. HOST IP takes any dotted quad with a
// port ("192.168.100.200:24785"); PORT takes "65535".
#define NAME_SIZE     10
#define IP_ADDY_SIZE  22
#define PORT_NUM_SIZE  6

extern int menu_handle;        // 0 main, 1 host, 2 join
extern int menupar[2];         // colour chosen on the host [0] and join [1] screens
extern int pick_color;         // the colour in force
extern int super_chat_type;    // 1 host, 2 join
extern bool loading_flag;
extern char host_name[NAME_SIZE];
extern char client_name[NAME_SIZE];
extern char ip_addy[IP_ADDY_SIZE];
extern char port_num[PORT_NUM_SIZE];

void menu_interface();
void show_menu(int item);

#endif
