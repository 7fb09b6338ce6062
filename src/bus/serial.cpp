// The serial port worker and receive parser (built with the serial bus).
#include "bus/serial.h"

#include "app/utility.h"

serial_class serial;

serial_class::serial_class() { log("Serial - Constructor"); }
serial_class::~serial_class() { log("Serial - Destructor"); }
void serial_class::start(unsigned int) {}
unsigned char serial_class::get_state() { return state; }
void serial_class::stop() {}
int serial_class::serial_packet(unsigned char, const unsigned char*, int) { return 0; }
int serial_class::serial_send(const unsigned char*, unsigned int) { return 0; }
int serial_class::process_byte(unsigned char) { return 0; }
int serial_class::validate_packet(unsigned char*, unsigned int) { return 0; }
int serial_class::process_packet(unsigned char*, unsigned int) { return 0; }
void serial_class::flush() {}
void serial_class::check() {}
int serial_class::do_serial_packet(unsigned char, const unsigned char*, int) { return 0; }
void serial_class::serial_thread() {}
