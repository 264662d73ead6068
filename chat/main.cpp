// Start-up, the process-wide globals and the program loop (placeholder
// until the spine lands).
int yammerlane_main() { return 0; }
