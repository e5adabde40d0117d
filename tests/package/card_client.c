/* A program of someone else's that uses the installed card library, built only through
 * `pkg-config --cflags --libs noraxcard`. With a card in the reader it asks for a file outside
 * what the library may read (refused after the card was opened, without a dialog), an unknown
 * property, and the texts of those failures. Exit 0 when every answer is the documented one. */
#include <noraxcard.h>

#include <stdio.h>
#include <string.h>

static int failures;

static void expect(const char* what, norax_result got, norax_result wanted)
{
    if (got != wanted) {
        fprintf(stderr, "FAIL: %s returned 0x%08X, expected 0x%08X\n", what, (unsigned)got, (unsigned)wanted);
        ++failures;
    }
}

static void expect_text(const char* what, const char* wanted)
{
    char text[512];
    uint32_t size = sizeof text;
    expect("norax_error_message", norax_error_message(text, &size), 0);
    if (strcmp(text, wanted) != 0) {
        fprintf(stderr, "FAIL: after %s the error text is \"%s\", expected \"%s\"\n", what, text, wanted);
        ++failures;
    }
}

int main(void)
{
    expect("norax_dll_version", norax_dll_version(), 0x03030000u);

    uint8_t content[64];
    uint32_t size = sizeof content;
    expect("norax_read_binary(3F002F00)", norax_read_binary("3F002F00", content, &size), 0x80040236u);
    expect_text("norax_read_binary(3F002F00)", "Operazione non consentita.");

    char value[64];
    uint32_t length = sizeof value;
    expect("norax_card_property(colore)", norax_card_property("colore", value, &length), 0x80070057u);
    expect("norax_read_binary(NULL)", norax_read_binary("EF.Dati_personali", NULL, NULL), 0x80004003u);

    if (failures == 0)
        printf("card client OK\n");
    return failures == 0 ? 0 : 1;
}
