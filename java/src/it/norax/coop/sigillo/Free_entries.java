package it.norax.coop.sigillo;

import java.io.IOException;
import java.io.InputStream;
import java.util.Map;

import org.apache.pdfbox.cos.COSArray;
import org.apache.pdfbox.cos.COSBase;
import org.apache.pdfbox.cos.COSDictionary;
import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.cos.COSNumber;
import org.apache.pdfbox.cos.COSStream;

/**
 * The free ("f", type 0) entries of one cross-reference section, read from the file's own bytes:
 * the library passes them over, so an update that deletes an object leaves it, for the library,
 * as it was. A viewer takes a deleted object as null: a page's content, an overlay, a field gone.
 *
 * The reading follows the library's own (an entry "offset generation n|f" per object of each
 * subsection, or the decoded rows of a stream) and stops where it would stop, with what it read
 * so far: every step moves forward in the file or in the decoded rows, so any input ends.
 */
final class Free_entries {
    /** A stream section's rows decoded at most: a million objects of the widest rows. */
    static final int STREAM_LIMIT = 24 << 20;

    private Free_entries() {
    }

    /** The objects the section at position frees into freed: number, and the generation given. */
    static void read(byte[] pdf, long position, Revision_changes.Parser parser, Map<Long, Integer> freed) {
        if (position < 0 || position >= pdf.length)
            return;
        int at = skip_space(pdf, (int) position);
        if (starts(pdf, at, "xref"))
            table(pdf, at + 4, freed);
        else
            stream(pdf, at, parser, freed);
    }

    private static void table(byte[] pdf, int at, Map<Long, Integer> freed) {
        long[] number = new long[1];
        for (;;) {
            // A subsection: "first count", then its entries; anything else ends the table.
            int next = digits(pdf, skip_space(pdf, at), number);
            if (next < 0)
                return;
            long first = number[0];
            next = digits(pdf, skip_space(pdf, next), number);
            if (next < 0)
                return;
            long count = number[0];
            at = next;
            for (long i = 0; i < count; ++i) {
                next = digits(pdf, skip_space(pdf, at), number);
                if (next < 0)
                    return;
                next = digits(pdf, skip_space(pdf, next), number);
                if (next < 0)
                    return;
                int kind = skip_space(pdf, next);
                if (kind >= pdf.length || pdf[kind] != 'f' && pdf[kind] != 'n')
                    return;
                if (pdf[kind] == 'f' && first + i > 0)
                    freed.put(first + i, (int) Math.min(number[0], Integer.MAX_VALUE));
                at = kind + 1;
            }
        }
    }

    private static void stream(byte[] pdf, int at, Revision_changes.Parser parser, Map<Long, Integer> freed) {
        long[] number = new long[1];
        if (digits(pdf, at, number) < 0)
            return;
        COSBase base;
        try {
            base = parser.object_at(at, number[0]);
        } catch (IOException e) {
            return;
        }
        if (!(base instanceof COSStream))
            return;
        COSStream stream = (COSStream) base;
        COSBase w = stream.getDictionaryObject(COSName.W);
        if (!(w instanceof COSArray) || ((COSArray) w).size() != 3)
            return;
        int[] widths = new int[3];
        for (int i = 0; i < 3; ++i) {
            COSBase item = ((COSArray) w).getObject(i);
            if (!(item instanceof COSNumber))
                return;
            widths[i] = ((COSNumber) item).intValue();
            if (widths[i] < 0 || widths[i] > 8)
                return;
        }
        int row = widths[0] + widths[1] + widths[2];
        if (row == 0)
            return;
        COSBase index = stream.getDictionaryObject(COSName.INDEX);
        long[] ranges;
        if (index instanceof COSArray && ((COSArray) index).size() % 2 == 0) {
            COSArray array = (COSArray) index;
            ranges = new long[array.size()];
            for (int i = 0; i < ranges.length; ++i) {
                COSBase item = array.getObject(i);
                if (!(item instanceof COSNumber) || ((COSNumber) item).longValue() < 0)
                    return;
                ranges[i] = ((COSNumber) item).longValue();
            }
        } else {
            ranges = new long[] {0, Math.max(0, stream.getLong(COSName.SIZE, 0))};
        }
        byte[] rows;
        try (InputStream in = stream.createInputStream()) {
            rows = in.readNBytes(STREAM_LIMIT);
        } catch (IOException e) {
            return;
        }
        int offset = 0;
        for (int r = 0; r < ranges.length; r += 2)
            for (long i = 0; i < ranges[r + 1]; ++i) {
                if (offset + row > rows.length)
                    return;
                // A type of no width is 1, an object in use.
                long type = widths[0] == 0 ? 1 : field(rows, offset, widths[0]);
                long generation = field(rows, offset + widths[0] + widths[1], widths[2]);
                if (type == 0 && ranges[r] + i > 0)
                    freed.put(ranges[r] + i, (int) Math.min(generation, Integer.MAX_VALUE));
                offset += row;
            }
    }

    private static long field(byte[] rows, int at, int width) {
        long value = 0;
        for (int i = 0; i < width; ++i)
            value = value << 8 | (rows[at + i] & 0xFF);
        return value;
    }

    private static int skip_space(byte[] pdf, int at) {
        while (at < pdf.length && (pdf[at] == ' ' || pdf[at] == '\n' || pdf[at] == '\r' || pdf[at] == '\t'
                || pdf[at] == '\f' || pdf[at] == 0))
            ++at;
        return at;
    }

    /** The decimal number at at (18 digits at most) into value[0]; its end, or -1 when none. */
    private static int digits(byte[] pdf, int at, long[] value) {
        long number = 0;
        int end = at;
        while (end < pdf.length && end - at < 18 && pdf[end] >= '0' && pdf[end] <= '9')
            number = number * 10 + (pdf[end++] - '0');
        if (end == at)
            return -1;
        value[0] = number;
        return end;
    }

    private static boolean starts(byte[] pdf, int at, String word) {
        if (at + word.length() > pdf.length)
            return false;
        for (int i = 0; i < word.length(); ++i)
            if (pdf[at + i] != word.charAt(i))
                return false;
        return true;
    }
}
