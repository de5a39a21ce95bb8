/* The steps of a packaged host; see host_sequence.h. No C runtime: every helper
 * is written out here, and nothing asks the compiler for memset or memcpy. */
#include "host_sequence.h"

#include "kwelmora.h"

/* PeekMessageA of user32, declared here so that no system header is needed. The
 * message record is larger than MSG on every target (PM_NOREMOVE fills it). */
typedef struct {
  void* window;
  unsigned int message;
  void* word_parameter;
  void* long_parameter;
  unsigned long time;
  long point[2];
  unsigned long spare[4];
} HostMessage;

__declspec(dllimport) int __stdcall PeekMessageA(HostMessage* message, void* window,
                                                 unsigned int first, unsigned int last,
                                                 unsigned int remove);

#define HOST_PM_NOREMOVE 0u

/* The thread that opened the port takes the port's line events when it
 * retrieves sent messages; a console host does that between calls. */
static void RetrieveSentMessages(void) {
  HostMessage message;
  PeekMessageA(&message, 0, 0, 0, HOST_PM_NOREMOVE);
}

static int ParseDecimal(const char* text, unsigned max, unsigned* value) {
  unsigned result = 0;
  if (text == 0 || *text == '\0') return 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    result = result * 10u + (unsigned)(*text - '0');
    if (result > max) return 0;
  }
  *value = result;
  return 1;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static int ParseRecord(const char* text, unsigned char* record) {
  int i;
  if (text == 0) return 0;
  for (i = 0; i < KWELMORA_RECORD_SIZE; ++i) {
    int high, low;
    if (text[2 * i] == '\0' || text[2 * i + 1] == '\0') return 0;
    high = HexDigit(text[2 * i]);
    low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    record[i] = (unsigned char)(high * 16 + low);
  }
  return text[2 * KWELMORA_RECORD_SIZE] == '\0';
}

/* A line under construction: words and numbers appended to a fixed buffer. */
typedef struct {
  char text[128];
  int length;
} Line;

static void Append(Line* line, const char* word) {
  while (*word != '\0' && line->length < (int)sizeof line->text - 1)
    line->text[line->length++] = *word++;
  line->text[line->length] = '\0';
}

static void AppendNumber(Line* line, unsigned value) {
  char digits[12];
  int count = 0;
  do {
    digits[count++] = (char)('0' + value % 10u);
    value /= 10u;
  } while (value != 0);
  while (count > 0 && line->length < (int)sizeof line->text - 1) {
    line->text[line->length++] = digits[--count];
  }
  line->text[line->length] = '\0';
}

static void AppendHex(Line* line, const unsigned char* bytes, int count) {
  static const char kDigits[] = "0123456789abcdef";
  int i;
  for (i = 0; i < count && line->length < (int)sizeof line->text - 2; ++i) {
    line->text[line->length++] = kDigits[bytes[i] >> 4];
    line->text[line->length++] = kDigits[bytes[i] & 15];
  }
  line->text[line->length] = '\0';
}

static void Start(Line* line, const char* word, unsigned value) {
  line->length = 0;
  Append(line, word);
  Append(line, " ");
  AppendNumber(line, value);
}

int RunHostSequence(const char* port_text, const char* address_text, const char* record_hex,
                    HostEmit emit) {
  unsigned port, address;
  unsigned char record[KWELMORA_RECORD_SIZE], back[KWELMORA_RECORD_SIZE];
  unsigned char status = 0, result;
  int i, failed = 0;
  Line line;

  if (!ParseDecimal(port_text, 255u, &port) ||
      !ParseDecimal(address_text, KWELMORA_LAST_ADDRESS, &address) ||
      address < KWELMORA_FIRST_ADDRESS || !ParseRecord(record_hex, record)) {
    emit("usage: PORT ADDRESS HEX60");
    return 2;
  }
  for (i = 0; i < KWELMORA_RECORD_SIZE; ++i) back[i] = 0;

  result = ZainicjowanoPortSzeregowyDlaZRV((unsigned char)port);
  RetrieveSentMessages();
  Start(&line, "init", result);
  emit(line.text);
  if (result == 0) return 1;

  result = OdczytanieBajtuStatusuZRV(&status);
  RetrieveSentMessages();
  Start(&line, "status", result);
  if (result == KWELMORA_OK) {
    Append(&line, " ");
    AppendNumber(&line, status);
  }
  emit(line.text);
  failed |= result != KWELMORA_OK;

  result = ZapisanieBajtowDoZRV((unsigned short)address, record);
  RetrieveSentMessages();
  Start(&line, "write", result);
  emit(line.text);
  failed |= result != KWELMORA_OK;

  result = OdczytanieBajtowZZRV((unsigned short)address, back);
  RetrieveSentMessages();
  Start(&line, "read", result);
  Append(&line, " ");
  AppendHex(&line, back, KWELMORA_RECORD_SIZE);
  emit(line.text);
  failed |= result != KWELMORA_OK;
  for (i = 0; i < KWELMORA_RECORD_SIZE; ++i) failed |= back[i] != record[i];

  result = OdinicjowanoPortSzeregowyDlaZRV();
  RetrieveSentMessages();
  Start(&line, "deinit", result);
  emit(line.text);
  failed |= result == 0;
  return failed ? 1 : 0;
}
