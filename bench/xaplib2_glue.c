/* The parse benchmark's counterpart: xaplib2's own parse, from a checkout that
   VARNIX_XAPLIB2_DIR names, fed a datagram as its receive loop feeds it. */
#include <stdarg.h>
#include <string.h>

#include "xap.h"

const char *XAP_FILTER_ANY = ">";

/* Its log, silent: the parse logs only a message of too many items. */
void log_write_ex(int level, const char *file, int line, const char *func, const char *fmt, ...) {
  (void)level, (void)file, (void)line, (void)func, (void)fmt;
}

static xAPFrame frame;

int Xaplib2Parse(const char *text, int size) {
  memcpy(frame.dataPacket, text, (size_t)size);
  frame.dataPacket[size] = '\0';
  frame.len = size;
  return parseMsgF(&frame);
}

const char *Xaplib2Value(const char *section, const char *key) {
  return xapGetValueF(&frame, (char *)section, (char *)key);
}
