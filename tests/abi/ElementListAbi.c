/* Builds a list through the C interface, walks it and frees it; looks up a transfer syntax and
 * the words of an outcome. */
#include <stdio.h>
#include <string.h>

#include "zedavura.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    ElementList* list = NewElementList();
    const char name[] = "DOE^JOHN";
    const unsigned char rows[2] = {0x00, 0x02};
    check(list != NULL, "NewElementList");
    check(AppendTag(list, GenerateTag(0x0010, 0x0010, 8, name, "PN")) == 1, "append name");
    check(AppendTag(list, GenerateTag(0x0028, 0x0010, 2, rows, "US")) == 1, "append rows");
    check(AppendTag(list, GenerateTag(0x7FE0, 0x0010, UNDEFINED_LENGTH, NULL, NULL)) == 1,
          "append undefined length");
    check(AppendTag(list, GenerateTag(0x10FFFE, 0x1E000, 0, NULL, "DL")) == 1, "append item");
    char version[7] = "XXXXXX";
    check(Version(version) == version && memcmp(version, "2.48\0X", 6) == 0, "Version");
    check(Version(NULL) == NULL, "Version without a buffer");
    check(TagCount(list) == 4, "count");

    DicomElement* e = TagAt(list, 0);
    check(e != NULL && e->group == 0x0010 && e->element == 0x0010, "first tag");
    check(e != NULL && e->length == 8 && memcmp(e->value, name, 8) == 0, "first value");
    check(e != NULL && e->vr[0] == 'P' && e->vr[1] == 'N', "first vr");
    e = TagAt(list, 2);
    check(e != NULL && e->length == UNDEFINED_LENGTH && e->value == NULL, "no block");
    check(e != NULL && e->vr[0] == 0, "null vr stays empty");
    e = TagAt(list, 3);
    check(e != NULL && e->group == 0xFFFE && e->element == 0xE000, "low 16 bits used");
    check(TagAt(list, 4) == NULL, "out of range");

    ClearTags(list);
    check(TagCount(list) == 0, "cleared");
    ClearTags(list);
    check(AppendTag(list, GenerateTag(8, 0x60, 2, "CT", "CS")) == 1, "reusable after clear");
    check(TagCount(list) == 1, "one again");
    DeleteElementList(list);
    {
        char words[64];
        const TransferSyntaxInfo* big = TransferSyntaxByName("big");
        check(big != NULL && big->bigEndian == 1 && TransferSyntaxByUID(big->uid) == big,
              "transfer syntax look-ups");
        check(OutcomeText(OUTCOME_STORE, STORE_NO_FILES, NULL, words, sizeof words) == 31 &&
                  strcmp(words, "no DICOM files in the directory") == 0,
              "OutcomeText");
    }

    if (failures == 0) printf("C interface: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
