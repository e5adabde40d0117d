package it.norax.coop.sigillo;

import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Deque;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;

import org.apache.pdfbox.cos.COSArray;
import org.apache.pdfbox.cos.COSBase;
import org.apache.pdfbox.cos.COSDictionary;
import org.apache.pdfbox.cos.COSDocument;
import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.cos.COSNull;
import org.apache.pdfbox.cos.COSNumber;
import org.apache.pdfbox.cos.COSObject;
import org.apache.pdfbox.cos.COSObjectKey;
import org.apache.pdfbox.cos.COSStream;
import org.apache.pdfbox.io.ScratchFile;
import org.apache.pdfbox.pdfparser.PDFObjectStreamParser;
import org.apache.pdfbox.pdfparser.XrefTrailerResolver;
import org.apache.pdfbox.pdmodel.PDDocument;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.PDSignature;

/**
 * What changed in a signed PDF after each signature, object by object: the revision a signature
 * covers (the file up to the end of its byte range) against the document as it is now.
 *
 * The parser keeps every cross-reference section it reads. A revision is the chain of sections
 * from its own startxref, a tail of the final chain, so for each object the sections that
 * define it split the revisions into runs that see one version of it: each version that is not
 * the final one is read once from where it lies, compared with the final object and classified by
 * what the object is in the final document (page content, resources, page tree, form fields,
 * annotations, signatures, validation data...). The work is one pass over the sections' entries
 * however many signatures the file has.
 *
 * The result for a signature is a set of kinds (the constants below); which of them its
 * certification allows is for the caller to judge with certification_level().
 */
final class Revision_changes {
    static final int SIGNATURES = 1;
    static final int TIMESTAMPS = 2;
    static final int VALIDATION_DATA = 4;
    static final int FORM_FILLED = 8;
    static final int ANNOTATIONS = 16;
    static final int METADATA = 32;
    static final int CONTENT = 64;
    static final int RESOURCES = 128;
    static final int PAGES = 256;
    static final int OTHER = 512;
    /** Later bytes that are no revision of this one, or an object that could not be read. */
    static final int UNREADABLE = 1024;
    /** A signature's or document time stamp's widget that draws on a page, added or redrawn. */
    static final int VISIBLE_APPEARANCE = 2048;
    /** A signature field that existed and is still empty given another appearance: no signature. */
    static final int EMPTY_SIGNATURE_FIELD = 4096;
    /** A text field that existed shown otherwise while its value stayed as it was. */
    static final int APPEARANCE_REPLACED = 8192;
    private static final int KINDS = 14;
    /**
     * What judge() tells beside the kinds, for the fields' changes: the version changed what a
     * widget draws, or the value of a field.
     */
    private static final int DRAWN = 1 << 20;
    private static final int VALUE = 1 << 21;
    private static final int KIND_BITS = (1 << KINDS) - 1;

    // Roles that are compared entry by entry rather than judged whole.
    private static final int CATALOG = -1;
    private static final int PAGE = -2;
    private static final int ANNOTS_ARRAY = -3;
    private static final int ACROFORM = -4;
    private static final int FIELDS_ARRAY = -5;

    private static final COSName DSS = COSName.getPDFName("DSS");
    private static final COSName EXTENSIONS = COSName.getPDFName("Extensions");
    private static final COSName STRUCT_TREE_ROOT = COSName.getPDFName("StructTreeRoot");
    private static final COSName MARK_INFO = COSName.getPDFName("MarkInfo");
    private static final COSName LANG = COSName.getPDFName("Lang");
    private static final COSName VERSION = COSName.getPDFName("Version");
    private static final COSName SIG_FLAGS = COSName.getPDFName("SigFlags");
    private static final COSName NEED_APPEARANCES = COSName.getPDFName("NeedAppearances");
    private static final COSName REFERENCE = COSName.getPDFName("Reference");
    private static final COSName TRANSFORM_METHOD = COSName.getPDFName("TransformMethod");
    private static final COSName TRANSFORM_PARAMS = COSName.getPDFName("TransformParams");
    private static final COSName DOC_TIME_STAMP = COSName.getPDFName("DocTimeStamp");
    private static final COSName RFC3161 = COSName.getPDFName("ETSI.RFC3161");
    private static final COSName WIDGET = COSName.getPDFName("Widget");
    private static final COSName TEXT = COSName.getPDFName("Tx");
    /** A widget's entries that decide what it draws where. */
    private static final COSName[] DRAWING = {COSName.AP, COSName.AS, COSName.RECT, COSName.F, COSName.MK};
    /** The annotation flags Hidden and NoView: a widget with either draws nothing. */
    private static final int NOT_SHOWN = 2 | 32;
    /** How much of an appearance stream is read to tell whether it draws anything. */
    private static final int APPEARANCE_READ = 65536;
    /** Keys that lead back up the structure, never into what an object owns. */
    private static final Set<COSName> BACK = new HashSet<>(Arrays.asList(COSName.PARENT, COSName.P));

    /** Pushes the objects a dictionary or an array refers to, but the references back up the tree. */
    private static void push_children(Deque<COSBase> todo, COSBase item)
    {
        if (item instanceof COSDictionary) {
            for (Map.Entry<COSName, COSBase> entry : ((COSDictionary) item).entrySet())
                if (!BACK.contains(entry.getKey()))
                    todo.push(entry.getValue());
        } else if (item instanceof COSArray) {
            for (COSBase element : (COSArray) item)
                todo.push(element);
        }
    }

    /** One cross-reference section as the parser read it, and the trailer that came with it. */
    static final class Section {
        final Map<COSObjectKey, Long> entries = new HashMap<>();
        /** The objects it frees (Free_entries), by number: the generation its entry gives. */
        final Map<Long, Integer> freed = new HashMap<>();
        COSDictionary trailer;
    }

    /** The parser's resolver, keeping each section as well (the library keeps only the merge). */
    static final class Recording_resolver extends XrefTrailerResolver {
        final Map<Long, Section> sections = new HashMap<>();
        private Section current;
        long startxref = -1;

        @Override
        public void nextXrefObj(long position, XRefType type) {
            super.nextXrefObj(position, type);
            current = new Section();
            sections.put(position, current);
        }

        @Override
        public void setXRef(COSObjectKey key, long offset) {
            super.setXRef(key, offset);
            // The first entry of a section wins, as in the library's merge.
            if (current != null)
                current.entries.putIfAbsent(key, offset);
        }

        @Override
        public void setTrailer(COSDictionary trailer) {
            super.setTrailer(trailer);
            if (current != null)
                current.trailer = trailer;
        }

        @Override
        public void setStartxref(long position) {
            super.setStartxref(position);
            if (startxref < 0)
                startxref = position;
        }

        @Override
        protected void reset() {
            super.reset();
            sections.clear();
            current = null;
            startxref = -1;
        }
    }

    /** The verifier's parser with the recording resolver, and able to read an object where it lies. */
    static final class Parser extends JNI_Pdf_verify.Hex_string_parser {
        final Recording_resolver resolver = new Recording_resolver();
        private final byte[] pdf;

        Parser(byte[] pdf, ScratchFile scratch) throws IOException {
            super(pdf, scratch);
            this.pdf = pdf;
            xrefTrailerResolver = resolver;
        }

        /**
         * Arrays of references only ("[1 0 R 2 0 R]") read straight from the file's bytes: the
         * fields and widgets of a document signed many times are such arrays, in each of its
         * revisions. Anything else is left to the library.
         */
        @Override
        protected COSArray parseCOSArray() throws IOException {
            long start = source.getPosition();
            if (start < 0 || start >= pdf.length || pdf[(int) start] != '[')
                return super.parseCOSArray();
            COSArray array = new COSArray();
            int at = (int) start + 1;
            for (;;) {
                at = after_space(at);
                if (at >= pdf.length)
                    return library_array(start);
                if (pdf[at] == ']')
                    break;
                int number_end = after_digits(at, 10), generation = after_space(number_end);
                int generation_end = after_digits(generation, 5), r = after_space(generation_end);
                if (number_end == at || generation == number_end || generation_end == generation
                        || r == generation_end || r >= pdf.length || pdf[r] != 'R'
                        || r + 1 < pdf.length && !delimiter(pdf[r + 1]))
                    return library_array(start);
                array.add(document.getObjectFromPool(
                        new COSObjectKey(digits(at, number_end), (int) digits(generation, generation_end))));
                at = r + 1;
            }
            source.seek(at + 1L);
            return array;
        }

        private COSArray library_array(long start) throws IOException {
            source.seek(start);
            return super.parseCOSArray();
        }

        private int after_space(int at) {
            while (at < pdf.length && (pdf[at] == ' ' || pdf[at] == '\n' || pdf[at] == '\r' || pdf[at] == '\t'
                    || pdf[at] == '\f' || pdf[at] == 0))
                ++at;
            return at;
        }

        private int after_digits(int at, int most) {
            int end = at;
            while (end < pdf.length && end - at < most && pdf[end] >= '0' && pdf[end] <= '9')
                ++end;
            return end;
        }

        private long digits(int from, int to) {
            long value = 0;
            for (int i = from; i < to; ++i)
                value = value * 10 + (pdf[i] - '0');
            return value;
        }

        private static boolean delimiter(byte c) {
            return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0 || c == ']' || c == '['
                    || c == '/' || c == '<' || c == '(' || c == '%';
        }

        /** The object "number generation obj" at offset, a stream with its (raw) bytes. */
        COSBase object_at(long offset, long number) throws IOException {
            if (offset <= 0 || offset >= pdf.length)
                throw new IOException("posizione dell'oggetto fuori dal file");
            source.seek(offset);
            if (readObjectNumber() != number)
                throw new IOException("l'oggetto alla posizione indicata è un altro");
            readGenerationNumber();
            readExpectedString(OBJ_MARKER, true);
            COSBase value = parseDirObject();
            skipSpaces();
            long at = source.getPosition();
            if (value instanceof COSDictionary && at + 6 <= pdf.length
                    && new String(pdf, (int) at, 6, java.nio.charset.StandardCharsets.US_ASCII).equals("stream"))
                value = parseCOSStream((COSDictionary) value);
            return value;
        }

        /** The objects of the object stream number at offset, by object number. */
        Map<Long, COSBase> objects_in_stream(long offset, long number) throws IOException {
            COSBase stream = object_at(offset, number);
            if (!(stream instanceof COSStream))
                throw new IOException("il flusso di oggetti non è un flusso");
            PDFObjectStreamParser parser = new PDFObjectStreamParser((COSStream) stream, document);
            parser.parse();
            Map<Long, COSBase> objects = new HashMap<>();
            for (COSObject object : parser.getObjects())
                objects.put(object.getObjectNumber(), object.getObject());
            return objects;
        }
    }

    private final Parser parser;
    private final COSDocument document;
    private final byte[] pdf;
    private final Map<COSObjectKey, Integer> roles = new HashMap<>();
    private final Map<Long, Map<Long, COSBase>> object_streams = new HashMap<>();
    /** The final chain of sections, newest first. */
    private final List<Section> chain = new ArrayList<>();
    private final Map<Long, Integer> chain_index = new HashMap<>();
    /** Per kind, the change of the count of runs that carry it, at each chain index. */
    private int[][] runs;
    /** The chain indexes of the sections that define or free each object, newest first. */
    private final Map<COSObjectKey, List<Integer>> defined = new HashMap<>();
    private final Map<Long, List<Integer>> streams = new HashMap<>();
    /** The field each object belongs to (its fully qualified name), and each field's own object. */
    private final Map<COSObjectKey, String> field_of = new HashMap<>();
    private final Map<String, COSObjectKey> field_objects = new HashMap<>();
    private final Set<COSObjectKey> field_keys = new HashSet<>();
    /** The changed versions of the fields' objects. */
    private final List<Field_change> field_changes = new ArrayList<>();
    /** Those that appearance_changes() looks at: what signature and text fields draw, their values. */
    private final List<Field_change> drawing_changes = new ArrayList<>();
    /** Each widget of the form by its own object, and each object of its appearance: the widget. */
    private final Map<COSObjectKey, COSObjectKey> appearance_of = new HashMap<>();
    /** The page (from 1) of each widget of a signature or time stamp that draws on it. */
    private final Map<COSObjectKey, Integer> drawn_on = new HashMap<>();
    /** The page (from 1) of each annotation, the first page that lists it; each page's number. */
    private final Map<COSObjectKey, Integer> annotation_pages = new HashMap<>();
    private final Map<COSObjectKey, Integer> page_numbers = new HashMap<>();
    /** The objects that are a field's value (its /V as a reference). */
    private final Set<COSObjectKey> values = new HashSet<>();
    /** Each field's type (/FT, inherited), by its name; the signature fields without a value. */
    private final Map<String, COSName> field_types = new HashMap<>();
    private final Set<String> empty_signature_fields = new HashSet<>();

    /** A version of a field's object, seen by the revisions from chain index from to to. */
    private static final class Field_change {
        final String field;
        final int from, to, kinds;
        /** DRAWN, VALUE: what the change did to the field. */
        final int flags;
        /** The widget whose appearance the object is part of, or null. */
        final COSObjectKey widget;

        Field_change(String field, int from, int to, int kinds, int flags, COSObjectKey widget) {
            this.field = field;
            this.from = from;
            this.to = to;
            this.kinds = kinds;
            this.flags = flags;
            this.widget = widget;
        }
    }

    private Revision_changes(Parser parser, COSDocument document, byte[] pdf) {
        this.parser = parser;
        this.document = document;
        this.pdf = pdf;
    }

    /**
     * The kinds of change after each revision end (-1: no revision, 0 is returned), in the order
     * given. length: the file's length without trailing white space. locks: what each signature
     * locks (null entries for none); the locked fields changed after each are put in locked.
     */
    static int[] changes(Parser parser, PDDocument document, byte[] pdf, long[] ends, long length,
            List<Field_lock> locks, String[][] locked, int[][] pages) {
        int[] result = new int[ends.length];
        Arrays.fill(locked, new String[0]);
        Arrays.fill(pages, new int[0]);
        try {
            compare_all(parser, document, pdf, ends, length, locks, result, locked, pages);
        } catch (OutOfMemoryError e) {
            throw e;
        } catch (Throwable t) {
            // Whatever could not be compared is no change that was allowed.
            for (int i = 0; i < ends.length; ++i)
                if (ends[i] >= 0 && ends[i] < length)
                    result[i] |= UNREADABLE;
        }
        return result;
    }

    private static void compare_all(Parser parser, PDDocument document, byte[] pdf, long[] ends, long length,
            List<Field_lock> locks, int[] result, String[][] locked, int[][] pages) {
        Revision_changes changes = new Revision_changes(parser, document.getDocument(), pdf);
        boolean chained = changes.read_chain() && changes.as_written();
        boolean compared = false;
        for (int i = 0; i < ends.length; ++i) {
            if (ends[i] < 0 || ends[i] >= length)
                continue;
            Integer index = chained ? changes.chain_index.get(startxref_before(pdf, ends[i])) : null;
            if (index == null) {
                result[i] = UNREADABLE;
                continue;
            }
            // Bytes after it that the parser did not read as a later revision.
            if (index == 0) {
                result[i] = UNREADABLE;
                continue;
            }
            if (!compared) {
                changes.compare();
                compared = true;
            }
            result[i] = changes.kinds_at(index);
            if (locks.get(i) != null)
                result[i] = changes.locked_changes(index, locks.get(i), result[i], locked, i);
            result[i] = changes.appearance_changes(index, result[i], pages, i);
        }
    }

    /**
     * The fields the lock holds that changed after the revision at chain index, into locked[at];
     * kinds without the allowed kinds that only those changes made.
     */
    private int locked_changes(int index, Field_lock lock, int kinds, String[][] locked, int at) {
        Set<String> names = new TreeSet<>();
        int[] counts = new int[KINDS];
        for (Field_change change : field_changes) {
            if (change.from > index || change.to < index || !lock.locks(change.field))
                continue;
            // A field made after the signature was not there to be locked.
            if (!existed(change.field, index))
                continue;
            names.add(change.field);
            for (int kind = 0; kind < KINDS; ++kind)
                if ((change.kinds & 1 << kind) != 0)
                    ++counts[kind];
        }
        locked[at] = names.toArray(new String[0]);
        for (int kind : new int[] {FORM_FILLED, SIGNATURES, TIMESTAMPS})
            if (runs[Integer.numberOfTrailingZeros(kind)][index] == counts[Integer.numberOfTrailingZeros(kind)])
                kinds &= ~kind;
        return kinds;
    }

    /** The field of this name was there in the revision at chain index. */
    private boolean existed(String field, int index) {
        COSObjectKey own = field_objects.get(field);
        return own != null && version(own, defined.getOrDefault(own, List.of()), streams, index) != null;
    }

    /**
     * What the fields' changes after the revision at chain index did to what the pages show: a
     * widget of a signature or time stamp that draws on a page added or drawn otherwise (its pages
     * into pages[at]); a signature field that was there empty, and still is, drawn otherwise (no
     * signature was added); a text field that was there drawn otherwise while its value stayed
     * (what the reader sees replaced without filling the form). kinds with these.
     */
    private int appearance_changes(int index, int kinds, int[][] pages, int at) {
        Map<String, Integer> flags = new HashMap<>();
        Set<Integer> drawn = new TreeSet<>();
        for (Field_change change : drawing_changes) {
            if (change.from > index || change.to < index)
                continue;
            flags.merge(change.field, change.flags, (a, b) -> a | b);
            Integer page = change.widget == null || (change.flags & DRAWN) == 0 ? null : drawn_on.get(change.widget);
            if (page != null)
                drawn.add(page);
        }
        if (!drawn.isEmpty()) {
            pages[at] = drawn.stream().mapToInt(Integer::intValue).toArray();
            kinds |= VISIBLE_APPEARANCE;
        }
        Set<String> empty = new HashSet<>(), replaced = new HashSet<>();
        for (Map.Entry<String, Integer> field : flags.entrySet()) {
            if ((field.getValue() & DRAWN) == 0 || !existed(field.getKey(), index))
                continue;
            COSName type = field_types.get(field.getKey());
            if (COSName.SIG.equals(type) && empty_signature_fields.contains(field.getKey()))
                empty.add(field.getKey());
            else if (TEXT.equals(type) && (field.getValue() & VALUE) == 0)
                replaced.add(field.getKey());
        }
        if (!empty.isEmpty())
            kinds = without_explained(index, kinds, empty, SIGNATURES) | EMPTY_SIGNATURE_FIELD;
        if (!replaced.isEmpty())
            kinds = without_explained(index, kinds, replaced, FORM_FILLED) | APPEARANCE_REPLACED;
        return kinds;
    }

    /** kinds without kind when the changes of these fields after chain index made all of it. */
    private int without_explained(int index, int kinds, Set<String> fields, int kind) {
        int count = 0;
        for (Field_change change : field_changes)
            if (change.from <= index && change.to >= index && (change.kinds & kind) != 0 && fields.contains(change.field))
                ++count;
        return runs[Integer.numberOfTrailingZeros(kind)][index] == count ? kinds & ~kind : kinds;
    }

    /**
     * The level of the first certification among the signature dictionaries (its DocMDP's P: 1 no
     * change, 2 forms and signatures, 3 annotations as well), 0 when none certifies.
     */
    static int certification_level(List<PDSignature> signatures) {
        int level = 0;
        for (PDSignature signature : signatures) {
            int own = docmdp_level(signature.getCOSObject());
            if (own != 0 && (level == 0 || own < level))
                level = own;
        }
        return level;
    }

    static int docmdp_level(COSDictionary signature) {
        COSBase references = signature.getDictionaryObject(REFERENCE);
        if (!(references instanceof COSArray))
            return 0;
        for (COSBase item : (COSArray) references) {
            COSBase reference = item instanceof COSObject ? ((COSObject) item).getObject() : item;
            if (!(reference instanceof COSDictionary)
                    || !COSName.DOCMDP.equals(((COSDictionary) reference).getDictionaryObject(TRANSFORM_METHOD)))
                continue;
            COSBase parameters = ((COSDictionary) reference).getDictionaryObject(TRANSFORM_PARAMS);
            int p = parameters instanceof COSDictionary ? ((COSDictionary) parameters).getInt(COSName.P, 2) : 2;
            // A value that is none of the three allows nothing.
            return p >= 1 && p <= 3 ? p : 1;
        }
        return 0;
    }

    /** The offset after the last "startxref" before end (within the trailer's reach), -1 if none. */
    static long startxref_before(byte[] pdf, long end) {
        byte[] word = "startxref".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        int from = (int) Math.max(0, end - 4096);
        for (int at = (int) Math.min(end, pdf.length) - word.length; at >= from; --at) {
            if (!Arrays.equals(pdf, at, at + word.length, word, 0, word.length))
                continue;
            int i = at + word.length;
            while (i < end && (pdf[i] == ' ' || pdf[i] == '\r' || pdf[i] == '\n' || pdf[i] == '\t'))
                ++i;
            long value = 0;
            int digits = 0;
            for (; i < end && pdf[i] >= '0' && pdf[i] <= '9' && digits < 18; ++i, ++digits)
                value = value * 10 + (pdf[i] - '0');
            return digits == 0 ? -1 : value;
        }
        return -1;
    }

    /** The sections from the final startxref along their /Prev; false when that cannot be followed. */
    private boolean read_chain() {
        Recording_resolver resolver = parser.resolver;
        long position = resolver.startxref;
        while (position >= 0 && !chain_index.containsKey(position)) {
            Section section = resolver.sections.get(position);
            if (section == null)
                return false;
            chain_index.put(position, chain.size());
            chain.add(section);
            position = section.trailer == null ? -1 : section.trailer.getLong(COSName.PREV, -1L);
        }
        for (Map.Entry<Long, Integer> entry : chain_index.entrySet()) {
            Section section = chain.get(entry.getValue());
            Free_entries.read(pdf, entry.getKey(), parser, section.freed);
            // A table's companion stream (a hybrid file) belongs to the same revision.
            long companion = section.trailer == null ? -1 : section.trailer.getLong(COSName.XREF_STM, -1L);
            if (companion > 0)
                Free_entries.read(pdf, companion, parser, section.freed);
        }
        return !chain.isEmpty();
    }

    /**
     * The parser took the objects where the sections say they are: it did not have to look for
     * them elsewhere (which would make the document something else than its sections describe).
     */
    private boolean as_written() {
        Map<COSObjectKey, Long> merged = new HashMap<>();
        for (int i = chain.size() - 1; i >= 0; --i)
            merged.putAll(chain.get(i).entries);
        return merged.equals(document.getXrefTable());
    }

    private int kinds_at(int index) {
        int kinds = 0;
        for (int kind = 0; kind < KINDS; ++kind)
            if (runs[kind][index] > 0)
                kinds |= 1 << kind;
        // The trailer of the revision against the final one: another catalog, other information.
        COSDictionary then = chain.get(index).trailer, now = chain.get(0).trailer;
        if (then != null && now != null) {
            try {
                if (!same(then.getItem(COSName.ROOT), now.getItem(COSName.ROOT))
                        || !same(then.getItem(COSName.ENCRYPT), now.getItem(COSName.ENCRYPT)))
                    kinds |= OTHER;
                if (!same(then.getItem(COSName.INFO), now.getItem(COSName.INFO)))
                    kinds |= METADATA;
            } catch (IOException e) {
                kinds |= UNREADABLE;
            }
        }
        return kinds;
    }

    /** The runs of every object's versions, summed into the count of each kind at each index. */
    private void compare() {
        mark_roles();
        int last = chain.size() - 1;
        runs = new int[KINDS][chain.size() + 1];
        for (int i = 0; i < chain.size(); ++i)
            for (COSObjectKey key : chain.get(i).entries.keySet())
                defined.computeIfAbsent(key, k -> new ArrayList<>()).add(i);
        add_free_entries();
        for (Map.Entry<COSObjectKey, List<Integer>> entry : defined.entrySet())
            if (entry.getKey().getGeneration() == 0)
                streams.put(entry.getKey().getNumber(), entry.getValue());
        for (Map.Entry<COSObjectKey, List<Integer>> entry : defined.entrySet()) {
            COSObjectKey key = entry.getKey();
            if (!roles.containsKey(key))
                continue;
            // Where this object's version can change: its own sections, and those of each object
            // stream that holds one of its versions.
            TreeSet<Integer> points = new TreeSet<>(entry.getValue());
            for (int i : entry.getValue()) {
                Long offset = chain.get(i).entries.get(key);
                if (offset != null && offset < 0 && streams.containsKey(-offset))
                    points.addAll(streams.get(-offset));
            }
            points.add(last + 1);
            long[] now = version(key, entry.getValue(), streams, 0);
            // Freed by the last revision that names it: the library still reads it where it was.
            boolean deleted = now == null;
            String field = field_of.get(key);
            Map<List<Long>, Integer> judged = new HashMap<>();
            int previous = 0;
            for (int point : points) {
                if (point <= previous)
                    continue;
                long[] then = version(key, entry.getValue(), streams, point);
                if (!Arrays.equals(then, now)) {
                    List<Long> id = then == null ? List.of() : List.of(then[0], then[1]);
                    Integer kinds = judged.get(id);
                    if (kinds == null) {
                        kinds = deleted ? deleted_kind(key) : judge(key, then);
                        judged.put(id, kinds);
                    }
                    for (int kind = 0; kind < KINDS; ++kind)
                        if ((kinds & 1 << kind) != 0) {
                            ++runs[kind][previous + 1];
                            --runs[kind][Math.min(point, last) + 1];
                        }
                    if (field != null && (kinds & KIND_BITS) != 0)
                        field_changes.add(new Field_change(field, previous + 1, Math.min(point, last), kinds & KIND_BITS,
                                kinds & ~KIND_BITS, appearance_of.get(key)));
                }
                previous = point;
            }
        }
        for (int[] counts : runs)
            for (int i = 1; i < counts.length; ++i)
                counts[i] += counts[i - 1];
        for (Field_change change : field_changes) {
            COSName type = field_types.get(change.field);
            boolean text = TEXT.equals(type);
            if ((change.flags & DRAWN) != 0 && (text || empty_signature_fields.contains(change.field)
                    || change.widget != null && drawn_on.containsKey(change.widget))
                    || (change.flags & VALUE) != 0 && text)
                drawing_changes.add(change);
        }
    }

    /**
     * The sections that free an object join those that define it: from a free entry back to the
     * next definition the object is not there (version() finds no entry in the freeing section).
     * An entry frees the object's number at its generation and the ones before it.
     */
    private void add_free_entries() {
        Map<Long, List<int[]>> freed = new HashMap<>();
        for (int i = 0; i < chain.size(); ++i)
            for (Map.Entry<Long, Integer> entry : chain.get(i).freed.entrySet())
                freed.computeIfAbsent(entry.getKey(), k -> new ArrayList<>()).add(new int[] {i, entry.getValue()});
        if (freed.isEmpty())
            return;
        for (Map.Entry<COSObjectKey, List<Integer>> entry : defined.entrySet()) {
            List<int[]> sections = freed.get(entry.getKey().getNumber());
            if (sections == null)
                continue;
            TreeSet<Integer> all = new TreeSet<>(entry.getValue());
            for (int[] section : sections)
                if (entry.getKey().getGeneration() <= section[1] && !chain.get(section[0]).entries.containsKey(entry.getKey()))
                    all.add(section[0]);
            entry.setValue(new ArrayList<>(all));
        }
    }

    /**
     * An object the final revision deleted, by what it was: gone from the pages, the form or the
     * signatures it belonged to. Deleted annotations and form data are what their kinds say; a
     * deleted field, signature or structure of the document is none of the changes a later
     * signer may make.
     */
    private int deleted_kind(COSObjectKey key) {
        int role = roles.get(key);
        switch (role) {
        case PAGE:
            return PAGES;
        case ANNOTS_ARRAY:
            return ANNOTATIONS;
        case CATALOG:
        case ACROFORM:
        case FIELDS_ARRAY:
        case SIGNATURES:
        case TIMESTAMPS:
            return OTHER;
        case FORM_FILLED:
            return field_keys.contains(key) ? OTHER : FORM_FILLED;
        default:
            return role;
        }
    }

    /**
     * The version of an object that the revision starting at chain index sees: its entry, and for
     * an object in an object stream the entry of that stream; null when it does not have it.
     */
    private long[] version(COSObjectKey key, List<Integer> sections, Map<Long, List<Integer>> streams, int index) {
        Long offset = entry_at(key, sections, index);
        if (offset == null)
            return null;
        if (offset >= 0)
            return new long[] {offset, 0};
        List<Integer> stream_sections = streams.get(-offset);
        Long stream = stream_sections == null ? null : entry_at(new COSObjectKey(-offset, 0), stream_sections, index);
        return new long[] {offset, stream == null ? -1 : stream};
    }

    private Long entry_at(COSObjectKey key, List<Integer> sections, int index) {
        int at = java.util.Collections.binarySearch(sections, index);
        if (at < 0)
            at = -at - 1;
        return at < sections.size() ? chain.get(sections.get(at)).entries.get(key) : null;
    }

    /** The kinds of change from an earlier version of an object (null: it did not exist) to now. */
    private int judge(COSObjectKey key, long[] then) {
        COSBase old = null;
        if (then != null) {
            try {
                if (then[0] >= 0) {
                    old = parser.object_at(then[0], key.getNumber());
                } else {
                    if (then[1] < 0)
                        return UNREADABLE;
                    Map<Long, COSBase> objects = object_streams.get(then[1]);
                    if (objects == null) {
                        objects = parser.objects_in_stream(then[1], -then[0]);
                        object_streams.put(then[1], objects);
                    }
                    old = objects.get(key.getNumber());
                }
            } catch (OutOfMemoryError e) {
                throw e;
            } catch (Throwable t) {
                return UNREADABLE;
            }
            if (old == null)
                return UNREADABLE;
        }
        COSBase now;
        int role = roles.get(key);
        try {
            now = document.getObjectFromPool(key).getObject();
            // The containers judged entry by entry say themselves that nothing changed.
            if (old != null && role > 0 && same(old, now))
                return 0;
            // A field renamed or moved is another field: its lock, if any, would no longer hold it.
            if (old != null && field_keys.contains(key)
                    && (!same(dictionary(old).getItem(COSName.T), dictionary(now).getItem(COSName.T))
                            || !same(dictionary(old).getItem(COSName.PARENT), dictionary(now).getItem(COSName.PARENT))))
                return OTHER;
        } catch (IOException e) {
            return UNREADABLE;
        }
        switch (role) {
        case CATALOG:
            return old == null ? OTHER : catalog_changes(dictionary(old), dictionary(now));
        case PAGE:
            return old == null ? PAGES : page_changes(dictionary(old), dictionary(now));
        case ANNOTS_ARRAY:
            return annotation_changes(old, now);
        case ACROFORM:
            return form_changes(dictionary(old), dictionary(now));
        case FIELDS_ARRAY:
            return field_changes(old, now);
        default:
            try {
                return role | field_flags(key, old, now);
            } catch (IOException e) {
                return UNREADABLE;
            }
        }
    }

    /**
     * For a version of an object of the form: DRAWN when it changed what a widget draws (an
     * object of its appearance, or the widget's entries that place and choose it), VALUE when it
     * changed a field's value.
     */
    private int field_flags(COSObjectKey key, COSBase old, COSBase now) throws IOException {
        int flags = 0;
        COSObjectKey widget = appearance_of.get(key);
        if (widget != null && (old == null || !widget.equals(key)))
            flags |= DRAWN;
        else if (widget != null)
            for (COSName entry : DRAWING)
                if (!same(dictionary(old).getItem(entry), dictionary(now).getItem(entry))) {
                    flags |= DRAWN;
                    break;
                }
        if (values.contains(key) || field_keys.contains(key)
                && (old == null || !same(dictionary(old).getItem(COSName.V), dictionary(now).getItem(COSName.V))))
            flags |= VALUE;
        return flags;
    }

    private static COSDictionary dictionary(COSBase base) {
        base = base instanceof COSObject ? ((COSObject) base).getObject() : base;
        return base instanceof COSDictionary ? (COSDictionary) base : new COSDictionary();
    }

    private static COSArray array(COSBase base) {
        base = base instanceof COSObject ? ((COSObject) base).getObject() : base;
        return base instanceof COSArray ? (COSArray) base : new COSArray();
    }

    private interface Entry_kinds {
        int of(COSName key, COSBase then, COSBase now);
    }

    private static int entry_changes(COSDictionary then, COSDictionary now, Entry_kinds kinds) {
        Set<COSName> keys = new HashSet<>(then.keySet());
        keys.addAll(now.keySet());
        int found = 0;
        for (COSName key : keys) {
            COSBase a = then.getItem(key), b = now.getItem(key);
            try {
                if (!same(a, b))
                    found |= kinds.of(key, a, b);
            } catch (IOException e) {
                found |= UNREADABLE;
            }
        }
        return found;
    }

    private int catalog_changes(COSDictionary then, COSDictionary now) {
        return entry_changes(then, now, (key, a, b) -> {
            if (key.equals(COSName.PAGES))
                return PAGES;
            if (key.equals(COSName.ACRO_FORM))
                return form_changes(dictionary(a), dictionary(b));
            if (key.equals(DSS) || key.equals(EXTENSIONS))
                return VALIDATION_DATA;
            if (key.equals(COSName.METADATA) || key.equals(VERSION) || key.equals(STRUCT_TREE_ROOT)
                    || key.equals(MARK_INFO) || key.equals(LANG))
                return METADATA;
            // Permissions, actions, names, layers, outlines...: what the document does or shows.
            return OTHER;
        });
    }

    private int form_changes(COSDictionary then, COSDictionary now) {
        return entry_changes(then, now, (key, a, b) -> {
            if (key.equals(COSName.FIELDS))
                return field_changes(a, b);
            if (key.equals(SIG_FLAGS))
                return SIGNATURES;
            if (key.equals(COSName.DR) || key.equals(COSName.DA) || key.equals(NEED_APPEARANCES)
                    || key.equals(COSName.Q))
                return FORM_FILLED;
            return OTHER;
        });
    }

    private int page_changes(COSDictionary then, COSDictionary now) {
        return entry_changes(then, now, (key, a, b) -> {
            if (key.equals(COSName.ANNOTS))
                return annotation_changes(a, b);
            if (key.equals(COSName.CONTENTS))
                return CONTENT;
            if (key.equals(COSName.RESOURCES))
                return RESOURCES;
            return PAGES;
        });
    }

    /**
     * A page's annotations: each one added or removed, by what it is. The same ones in another
     * order (or one listed twice) are drawn in another order: what was under is now on top.
     */
    private int annotation_changes(COSBase then, COSBase now) {
        COSArray before = array(then), after = array(now);
        int found = list_changes(before, after, ANNOTATIONS, ANNOTATIONS);
        // Those in both lists, in the order of each (whatever was added or removed beside them).
        Set<COSObjectKey> in_before = keys(before), in_after = keys(after);
        List<COSObjectKey> kept_before = new ArrayList<>(), kept_after = new ArrayList<>();
        for (COSBase item : before)
            if (item instanceof COSObject && in_after.contains(new COSObjectKey((COSObject) item)))
                kept_before.add(new COSObjectKey((COSObject) item));
        for (COSBase item : after)
            if (item instanceof COSObject && in_before.contains(new COSObjectKey((COSObject) item)))
                kept_after.add(new COSObjectKey((COSObject) item));
        return kept_before.equals(kept_after) ? found : found | ANNOTATIONS;
    }

    /** The form's fields: a signature field added is a signature, another field a new annotation. */
    private int field_changes(COSBase then, COSBase now) {
        return list_changes(array(then), array(now), ANNOTATIONS, OTHER);
    }

    private int list_changes(COSArray then, COSArray now, int added_kind, int removed_kind) {
        // Mostly the list grew at its end: the rest is the new entries.
        int common = 0;
        while (common < then.size() && common < now.size() && then.get(common) instanceof COSObject
                && now.get(common) instanceof COSObject && same_reference(then.get(common), now.get(common)))
            ++common;
        if (common == then.size())
            return added_kinds(now, common, added_kind);
        Set<COSObjectKey> before = keys(then), after = keys(now);
        COSArray added = new COSArray();
        for (COSBase item : now)
            if (!(item instanceof COSObject) || !before.contains(new COSObjectKey((COSObject) item)))
                added.add(item);
        int found = added_kinds(added, 0, added_kind);
        before.removeAll(after);
        return before.isEmpty() ? found : found | removed_kind;
    }

    private static Set<COSObjectKey> keys(COSArray array) {
        Set<COSObjectKey> keys = new HashSet<>();
        for (COSBase item : array)
            if (item instanceof COSObject)
                keys.add(new COSObjectKey((COSObject) item));
        return keys;
    }

    private int added_kinds(COSArray now, int from, int added_kind) {
        int found = 0;
        for (int i = from; i < now.size(); ++i) {
            COSBase item = now.get(i);
            if (!(item instanceof COSObject)) {
                found |= OTHER;
                continue;
            }
            Integer role = roles.get(new COSObjectKey((COSObject) item));
            found |= role != null && (role == SIGNATURES || role == TIMESTAMPS) ? role : added_kind;
        }
        return found;
    }

    private static boolean same_reference(COSBase a, COSBase b) {
        return ((COSObject) a).getObjectNumber() == ((COSObject) b).getObjectNumber()
                && ((COSObject) a).getGenerationNumber() == ((COSObject) b).getGenerationNumber();
    }

    /** The same value: references by their keys, streams by their dictionaries and raw bytes. */
    static boolean same(COSBase a, COSBase b) throws IOException {
        if (a == b)
            return true;
        if (a == null || b == null)
            return false;
        if (a instanceof COSObject || b instanceof COSObject)
            return a instanceof COSObject && b instanceof COSObject && same_reference(a, b);
        if (a instanceof COSStream || b instanceof COSStream)
            return a instanceof COSStream && b instanceof COSStream && same_entries((COSDictionary) a, (COSDictionary) b)
                    && same_bytes((COSStream) a, (COSStream) b);
        if (a instanceof COSDictionary)
            return b instanceof COSDictionary && same_entries((COSDictionary) a, (COSDictionary) b);
        if (a instanceof COSArray) {
            if (!(b instanceof COSArray) || ((COSArray) a).size() != ((COSArray) b).size())
                return false;
            for (int i = 0; i < ((COSArray) a).size(); ++i)
                if (!same(((COSArray) a).get(i), ((COSArray) b).get(i)))
                    return false;
            return true;
        }
        return a.equals(b);
    }

    private static boolean same_entries(COSDictionary a, COSDictionary b) throws IOException {
        if (a.size() != b.size())
            return false;
        for (Map.Entry<COSName, COSBase> entry : a.entrySet())
            if (!same(entry.getValue(), b.getItem(entry.getKey())))
                return false;
        return true;
    }

    private static boolean same_bytes(COSStream a, COSStream b) throws IOException {
        try (InputStream x = a.createRawInputStream(); InputStream y = b.createRawInputStream()) {
            byte[] one = new byte[65536], two = new byte[65536];
            for (;;) {
                int n = x.readNBytes(one, 0, one.length), m = y.readNBytes(two, 0, two.length);
                if (n != m || !Arrays.equals(one, 0, n, two, 0, m))
                    return false;
                if (n < one.length)
                    return true;
            }
        }
    }

    /**
     * What each object of the final document is, the parts that decide what the pages show
     * first: an object reached from several places is judged by the most telling one.
     */
    private void mark_roles() {
        COSDictionary trailer = document.getTrailer();
        COSBase root = trailer.getItem(COSName.ROOT);
        mark(root, CATALOG);
        COSDictionary catalog = dictionary(root);

        List<COSDictionary> pages = new ArrayList<>(), nodes = new ArrayList<>();
        Deque<COSBase> tree = new ArrayDeque<>();
        tree.push(catalog.getItem(COSName.PAGES));
        Set<COSDictionary> seen = java.util.Collections.newSetFromMap(new java.util.IdentityHashMap<>());
        while (!tree.isEmpty()) {
            COSBase item = tree.pop();
            COSDictionary node = dictionary(item);
            if (!seen.add(node))
                continue;
            if (node.containsKey(COSName.KIDS) || COSName.PAGES.equals(node.getCOSName(COSName.TYPE))) {
                mark(item, PAGES);
                mark(node.getItem(COSName.KIDS), PAGES);
                nodes.add(node);
                // Last kid first: the pages come off the stack in the document's order.
                COSArray kids = array(node.getItem(COSName.KIDS));
                for (int i = kids.size() - 1; i >= 0; --i)
                    tree.push(kids.get(i));
            } else {
                mark(item, PAGE);
                pages.add(node);
                if (item instanceof COSObject)
                    page_numbers.putIfAbsent(new COSObjectKey((COSObject) item), pages.size());
            }
        }
        for (COSDictionary page : pages)
            mark_deep(page.getItem(COSName.CONTENTS), CONTENT);
        for (COSDictionary node : nodes)
            mark_deep(node.getItem(COSName.RESOURCES), RESOURCES);
        for (COSDictionary page : pages)
            mark_deep(page.getItem(COSName.RESOURCES), RESOURCES);
        for (COSDictionary page : pages) {
            mark(page.getItem(COSName.ANNOTS), ANNOTS_ARRAY);
            for (Map.Entry<COSName, COSBase> entry : page.entrySet())
                if (!entry.getKey().equals(COSName.ANNOTS) && !BACK.contains(entry.getKey()))
                    mark_deep(entry.getValue(), PAGES);
        }

        for (int i = 0; i < pages.size(); ++i)
            for (COSBase annotation : array(pages.get(i).getItem(COSName.ANNOTS)))
                if (annotation instanceof COSObject)
                    annotation_pages.putIfAbsent(new COSObjectKey((COSObject) annotation), i + 1);

        COSBase form = catalog.getItem(COSName.ACRO_FORM);
        mark(form, ACROFORM);
        mark(dictionary(form).getItem(COSName.FIELDS), FIELDS_ARRAY);
        mark_fields(array(dictionary(form).getItem(COSName.FIELDS)));
        for (Map.Entry<COSName, COSBase> entry : dictionary(form).entrySet())
            mark_deep(entry.getValue(), FORM_FILLED);
        for (COSDictionary page : pages)
            for (COSBase annotation : array(page.getItem(COSName.ANNOTS)))
                mark_deep(annotation, ANNOTATIONS);

        mark_deep(catalog.getItem(DSS), VALIDATION_DATA);
        mark_deep(catalog.getItem(EXTENSIONS), VALIDATION_DATA);
        mark_deep(trailer.getItem(COSName.INFO), METADATA);
        for (COSName key : new COSName[] {COSName.METADATA, STRUCT_TREE_ROOT, MARK_INFO})
            mark_deep(catalog.getItem(key), METADATA);
        for (COSBase value : catalog.getValues())
            mark_deep(value, OTHER);
    }

    /** Fields and their widgets: a signature's (or a document time stamp's) own, or the form's. */
    private void mark_fields(COSArray fields) {
        Deque<Object[]> todo = new ArrayDeque<>();
        for (COSBase field : fields)
            todo.push(new Object[] {field, null, ""});
        Set<COSDictionary> seen = java.util.Collections.newSetFromMap(new java.util.IdentityHashMap<>());
        while (!todo.isEmpty()) {
            Object[] next = todo.pop();
            COSBase item = (COSBase) next[0];
            COSDictionary field = dictionary(item);
            if (!seen.add(field))
                continue;
            COSName type = field.getCOSName(COSName.FT);
            if (type == null)
                type = (COSName) next[1];
            // Its fully qualified name: a widget without a name of its own is its parent's.
            String name = (String) next[2];
            String partial = field.getString(COSName.T);
            if (partial != null)
                name = name.isEmpty() ? partial : name + "." + partial;
            if (item instanceof COSObject) {
                COSObjectKey key = new COSObjectKey((COSObject) item);
                field_keys.add(key);
                field_objects.putIfAbsent(name, key);
                field_of.putIfAbsent(key, name);
            }
            int role = FORM_FILLED;
            if (COSName.SIG.equals(type)) {
                COSDictionary value = dictionary(field.getItem(COSName.V));
                role = DOC_TIME_STAMP.equals(value.getCOSName(COSName.TYPE))
                        || RFC3161.equals(value.getCOSName(COSName.SUB_FILTER)) ? TIMESTAMPS : SIGNATURES;
            }
            if (type != null)
                field_types.putIfAbsent(name, type);
            // The field's own object (a kid without a name is a widget of its parent's field).
            if (partial != null || ((String) next[2]).isEmpty()) {
                if (COSName.SIG.equals(type) && !(field.getDictionaryObject(COSName.V) instanceof COSDictionary))
                    empty_signature_fields.add(name);
                if (field.getItem(COSName.V) instanceof COSObject)
                    values.add(new COSObjectKey((COSObject) field.getItem(COSName.V)));
            }
            if (item instanceof COSObject
                    && (WIDGET.equals(field.getCOSName(COSName.SUBTYPE)) || !field.containsKey(COSName.KIDS)))
                mark_widget(new COSObjectKey((COSObject) item), field, COSName.SIG.equals(type));
            mark_deep(item, role, name, false);
            for (Map.Entry<COSName, COSBase> entry : field.entrySet())
                if (!entry.getKey().equals(COSName.KIDS) && !BACK.contains(entry.getKey()))
                    mark_deep(entry.getValue(), role, name, true);
            for (COSBase kid : array(field.getItem(COSName.KIDS)))
                todo.push(new Object[] {kid, type, name});
        }
    }

    /**
     * A widget of the form and the objects of its appearance; for a signature's (or a time
     * stamp's) widget, the page it draws on when it does.
     */
    private void mark_widget(COSObjectKey key, COSDictionary widget, boolean signature) {
        appearance_of.put(key, key);
        Deque<COSBase> todo = new ArrayDeque<>();
        todo.push(widget.getItem(COSName.AP) == null ? COSNull.NULL : widget.getItem(COSName.AP));
        while (!todo.isEmpty()) {
            COSBase item = todo.pop();
            if (item instanceof COSObject) {
                if (appearance_of.putIfAbsent(new COSObjectKey((COSObject) item), key) != null)
                    continue;
                item = ((COSObject) item).getObject();
            }
            push_children(todo, item);
        }
        // A widget no page lists may still be drawn on the page it names by some readers.
        Integer page = annotation_pages.get(key);
        if (page == null && widget.getItem(COSName.P) instanceof COSObject)
            page = page_numbers.get(new COSObjectKey((COSObject) widget.getItem(COSName.P)));
        if (signature && page != null && draws(widget))
            drawn_on.put(key, page);
    }

    /**
     * The widget draws on its page: shown, a rectangle with an area, and a normal appearance
     * (the state chosen, or any when none is) with content. What cannot be read is taken as
     * drawing.
     */
    private static boolean draws(COSDictionary widget) {
        if ((widget.getInt(COSName.F, 0) & NOT_SHOWN) != 0)
            return false;
        COSArray rect = array(widget.getItem(COSName.RECT));
        if (rect.size() != 4)
            return false;
        float[] corners = new float[4];
        for (int i = 0; i < 4; ++i) {
            COSBase number = rect.getObject(i);
            if (!(number instanceof COSNumber))
                return false;
            corners[i] = ((COSNumber) number).floatValue();
        }
        if (!(Math.abs(corners[2] - corners[0]) > 0 && Math.abs(corners[3] - corners[1]) > 0))
            return false;
        COSBase normal = dictionary(widget.getItem(COSName.AP)).getDictionaryObject(COSName.N);
        if (normal instanceof COSStream)
            return has_content((COSStream) normal);
        if (!(normal instanceof COSDictionary))
            return false;
        COSName state = widget.getCOSName(COSName.AS);
        if (state != null) {
            COSBase chosen = ((COSDictionary) normal).getDictionaryObject(state);
            return chosen instanceof COSStream && has_content((COSStream) chosen);
        }
        for (COSName name : ((COSDictionary) normal).keySet()) {
            COSBase one = ((COSDictionary) normal).getDictionaryObject(name);
            if (one instanceof COSStream && has_content((COSStream) one))
                return true;
        }
        return false;
    }

    /** Anything but white space among the first bytes of the stream's content. */
    private static boolean has_content(COSStream stream) {
        try (InputStream content = stream.createInputStream()) {
            byte[] chunk = new byte[4096];
            for (int read = 0, n; read < APPEARANCE_READ && (n = content.read(chunk)) > 0; read += n)
                for (int i = 0; i < n; ++i)
                    if (" \t\r\n\f\0".indexOf(chunk[i]) < 0)
                        return true;
            return false;
        } catch (IOException e) {
            return true;
        }
    }

    private void mark(COSBase base, int role) {
        if (base instanceof COSObject)
            roles.putIfAbsent(new COSObjectKey((COSObject) base), role);
    }

    /** The object and what it owns, where nothing has marked them yet. */
    private void mark_deep(COSBase base, int role) {
        mark_deep(base, role, null, true);
    }

    /** The same, as owned by the field named field (when not null); deep: what it owns as well. */
    private void mark_deep(COSBase base, int role, String field, boolean deep) {
        Deque<COSBase> todo = new ArrayDeque<>();
        if (base != null)
            todo.push(base);
        while (!todo.isEmpty()) {
            COSBase item = todo.pop();
            if (item instanceof COSObject) {
                COSObjectKey key = new COSObjectKey((COSObject) item);
                if (roles.putIfAbsent(key, role) != null)
                    continue;
                if (field != null)
                    field_of.put(key, field);
                if (!deep)
                    continue;
                item = ((COSObject) item).getObject();
            }
            push_children(todo, item);
        }
    }
}
