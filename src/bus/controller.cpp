// The controller exchange (built with the serial bus).
#include "bus/controller.h"

unsigned char device_id = 1;

void controller_start() {}
void controller_stop() {}
unsigned int controller_thread(void*) { return 0; }
bool controller_transfer() { return false; }
void controller_data(const unsigned char*, int) {}
