// The values a chat starts from.
#include "fields.h"

int pick_color = 5;
char host_name[NAME_SIZE];
char client_name[NAME_SIZE];
char ip_addy[IP_ADDY_SIZE];
char port_num[PORT_NUM_SIZE];
