/* noraxcard: reads the Carta Velin (a CNS card) for other programs.
 *
 * Every function returns a result code: 0 on success, otherwise an HRESULT-style failure code
 * whose Italian description norax_error_message returns. Reading the holder's data always asks
 * the holder first (a dialog of the library); nothing in this interface can skip that question.
 *
 * Codes a caller sees most often:
 *   0x00000000  success
 *   234         the buffer is too small; *size holds what is needed (see each function)
 *   0x80004003  E_POINTER, a required pointer is null
 *   0x80004005  E_FAIL
 *   0x80070005  E_ACCESSDENIED, the holder refused the technical question
 *   0x80070057  E_INVALIDARG
 *   0x80040202..0x80040241  the library's own failures (card removed, no reader, no card,
 *               file not found, PIN blocked, cancelled by the holder 0x80040234, ...)
 *   0x8010000A  SCARD_E_TIMEOUT, the card did not answer within the call's 15 seconds
 *   0x801000xx  other PC/SC failures without a more specific code
 *
 * The functions are meant to be called from one thread; each call opens the card, does its
 * work and closes (and resets) the card before returning. A call waits for the card at most
 * 15 seconds in all (the holder's time on the library's dialogs does not count); a card taken
 * out under a command is reported as removed (0x80040202).
 */
#ifndef NORAXCARD_H
#define NORAXCARD_H

#include <stdint.h>

#if defined(_WIN32)
#define NORAX_API __declspec(dllexport)
#define NORAX_CALL __stdcall
#else
#define NORAX_API __attribute__((visibility("default")))
#define NORAX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t norax_result;

/* The library's version in four bytes, major.minor.patch.0: 0x03030000 is version 3.3.0.0.
 * Never fails. */
NORAX_API norax_result NORAX_CALL norax_dll_version(void);

/* The text of the last failure of any call of this process.
 * size: capacity of buffer in bytes on entry; the text length (without the terminating zero)
 * on return. Allow one byte more than the length.
 * @retval 0           the text and its zero were copied
 * @retval 234         *size was not larger than the length; *size = the length
 * @retval 0x80004003  size is null, or buffer is null with a large enough *size
 * Does not change the last error text. */
NORAX_API norax_result NORAX_CALL norax_error_message(char* buffer, uint32_t* size);

/* Reads a whole card file, named by its catalogue name ("EF.Dati_personali", "EF.C_CARTA",
 * "EF.NKAF", ...; blanks, full stops, underscores and case do not matter) or by its path as
 * hexadecimal identifiers ("11001102", a leading 3F00 allowed).
 * size: capacity on entry, the file length on return.
 * @retval 0           the file was copied
 * @retval 234         the file is longer than *size; *size = its length
 * @retval 0x80004003  buffer or size is null (pass a small buffer to learn the length)
 * @retval 0x8004020F  no such file
 * @retval 0x80040234  the holder refused, or cancelled the PIN
 * @retval 0x80040236  a path outside the files the library may read
 * @retval 0x80040202  the card was taken out during the read
 * @retval 0x8010000A  the card did not answer within the call's time */
NORAX_API norax_result NORAX_CALL norax_read_binary(const char* file_name, uint8_t* buffer, uint32_t* size);

/* norax_read_binary("EF.Dati_personali", buffer, size). */
NORAX_API norax_result NORAX_CALL norax_read_ef_dati_personali(uint8_t* buffer, uint32_t* size);

/* Card information as text. name (case does not matter):
 *   "issuer"       the issuer of the holder's certificate, most specific component first
 *   "manufacturer" the chip manufacturer
 *   "type"         the card type
 *   "atr"          the ATR in upper-case hex bytes separated by blanks; through a contactless
 *                  reader: the card's ATR, " - CONTACTLESS: ", the reader's ATR
 *   "certificate"  the holder's certificate in base64, lines of 76 characters joined by "\r\n"
 * The first four ask the holder a Yes/No question first; "certificate" asks to read the file.
 * size: capacity in characters on entry; the value length (without the zero) on return.
 * @retval 0           the value and its zero were copied
 * @retval 234         *size was not larger than the value's length; *size unchanged
 * @retval 0x80004003  buffer or size is null
 * @retval 0x80070005  the holder did not answer Yes
 * @retval 0x80070057  unknown name, or *size of 0x80000000 or more */
NORAX_API norax_result NORAX_CALL norax_card_property(const char* name, char* buffer, uint32_t* size);

/* One thing a view reads with norax_read_items. */
typedef struct norax_item {
    uint32_t kind; /* NORAX_ITEM_FILE or NORAX_ITEM_PROPERTY */
    const char* name; /* a file as for norax_read_binary, or a property as for norax_card_property */
    uint8_t* buffer; /* a file's bytes, or a property's text and its zero */
    uint32_t size; /* capacity on entry; the length on return, as the single function gives it */
    norax_result result; /* on return: what the single function would have returned for this item */
    char* message; /* optional: on return the item's failure text ("" on success), cut to */
    uint32_t message_size; /* message_size - 1 bytes and its zero */
} norax_item;

#define NORAX_ITEM_FILE 0u
#define NORAX_ITEM_PROPERTY 1u

/* Reads the items of one view (1 to 64) asking the holder once: one question lists what will be
 * read (each free file's description; "le informazioni tecniche della Carta" for the properties
 * other than "certificate"). A file protected by the PIN still asks its PIN, and a path the
 * library does not describe still asks after its read, as with norax_read_binary. Without a card
 * nothing is asked. A file is at most 65535 bytes: a buffer of that size always holds it.
 * @retval 0           every item was read (each result is 0)
 * @retval 0x80004003  items is null
 * @retval 0x80070057  count is 0 or more than 64
 * @retval 0x80040234  the holder refused: nothing was read; each item's result is what its
 *                     single function gives for a refusal (0x80070005 for a technical property)
 * otherwise           a failure of the whole call (no card, nobody to ask: every item carries
 *                     it), or the result of the first item that failed, whose text
 *                     norax_error_message returns */
NORAX_API norax_result NORAX_CALL norax_read_items(norax_item* items, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif
