// The automatic mode (built with the camera service and automatic mode).
#include "automode/automode.h"

void automode_start() {}
void automode_stop() {}
unsigned int automode_thread(void*) { return 0; }
