// Found first by the chat's core and the console host, which draw nothing,
// play nothing and read no keyboard: the Allegro screen is chat/screen's.
#error "the chat's core and console host include no Allegro header"
