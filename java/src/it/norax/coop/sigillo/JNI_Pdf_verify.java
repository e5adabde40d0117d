package it.norax.coop.sigillo;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.Security;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Calendar;
import java.util.Collection;
import java.util.Collections;
import java.util.Date;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TimeZone;

import org.apache.pdfbox.cos.COSArray;
import org.apache.pdfbox.cos.COSBase;
import org.apache.pdfbox.cos.COSDictionary;
import org.apache.pdfbox.cos.COSInteger;
import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.cos.COSObject;
import org.apache.pdfbox.cos.COSObjectKey;
import org.apache.pdfbox.cos.COSString;
import org.apache.pdfbox.io.MemoryUsageSetting;
import org.apache.pdfbox.io.RandomAccess;
import org.apache.pdfbox.io.RandomAccessBuffer;
import org.apache.pdfbox.io.ScratchFile;
import org.apache.pdfbox.pdfparser.PDFParser;
import org.apache.pdfbox.pdmodel.PDDocument;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.PDSignature;
import org.apache.pdfbox.pdmodel.interactive.form.PDSignatureField;
import org.bouncycastle.asn1.ASN1Encodable;
import org.bouncycastle.asn1.ASN1Encoding;
import org.bouncycastle.asn1.ASN1InputStream;
import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.ASN1OctetString;
import org.bouncycastle.asn1.ASN1Primitive;
import org.bouncycastle.asn1.ASN1UTCTime;
import org.bouncycastle.asn1.ASN1GeneralizedTime;
import org.bouncycastle.asn1.cms.Attribute;
import org.bouncycastle.asn1.cms.AttributeTable;
import org.bouncycastle.asn1.cms.CMSAttributes;
import org.bouncycastle.asn1.cms.CMSObjectIdentifiers;
import org.bouncycastle.asn1.oiw.OIWObjectIdentifiers;
import org.bouncycastle.asn1.edec.EdECObjectIdentifiers;
import org.bouncycastle.asn1.pkcs.PKCSObjectIdentifiers;
import org.bouncycastle.asn1.x9.X9ObjectIdentifiers;
import org.bouncycastle.asn1.x509.DigestInfo;
import org.bouncycastle.asn1.x509.SubjectPublicKeyInfo;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cms.CMSSignedData;
import org.bouncycastle.cms.SignerId;
import org.bouncycastle.cms.SignerInformation;
import org.bouncycastle.cms.SignerInformationVerifier;
import org.bouncycastle.cms.DefaultCMSSignatureAlgorithmNameGenerator;
import org.bouncycastle.cms.bc.BcECSignerInfoVerifierBuilder;
import org.bouncycastle.cms.bc.BcEdDSASignerInfoVerifierBuilder;
import org.bouncycastle.cms.bc.BcRSASignerInfoVerifierBuilder;
import org.bouncycastle.operator.DefaultDigestAlgorithmIdentifierFinder;
import org.bouncycastle.operator.DefaultSignatureAlgorithmIdentifierFinder;
import org.bouncycastle.operator.bc.BcDigestCalculatorProvider;
import org.bouncycastle.cms.jcajce.JcaSignerInfoVerifierBuilder;
import org.bouncycastle.operator.jcajce.JcaDigestCalculatorProviderBuilder;
import org.bouncycastle.crypto.encodings.PKCS1Encoding;
import org.bouncycastle.crypto.engines.RSAEngine;
import org.bouncycastle.crypto.params.AsymmetricKeyParameter;
import org.bouncycastle.crypto.util.PublicKeyFactory;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.tsp.TimeStampToken;
import org.bouncycastle.util.Store;

/**
 * Reads the signatures of a PDF document: for each signature dictionary, whether its byte range
 * covers the file except its own hole, whether its signature verifies over those bytes, the
 * signer's certificate, the signing time and the digest algorithm.
 *
 * The forms read are the CMS ones (adbe.pkcs7.detached, ETSI.CAdES.detached and the same under
 * the Brazilian policy, PBAD.PAdES, adbe.pkcs7.sha1), the document time stamp (ETSI.RFC3161) and
 * the bare PKCS#1 signature with the certificate in the dictionary (adbe.x509.rsa_sha1). A signature of another form is not supported: it is
 * neither valid nor a mismatch, since nothing was checked.
 *
 * What the later revisions changed after each signature is compared object by object by
 * Revision_changes (changes_at, certification_level).
 *
 * error(): 0 read; 1 not a PDF that can be read; 6 a PDF without signatures; 7 its streams decode
 * to more than DECODED_LIMIT bytes; 8 the machine's heap ran out while reading it.
 */
public class JNI_Pdf_verify {
    public static final int OK = 0;
    public static final int NOT_A_PDF = 1;
    public static final int NOT_SIGNED = 6;
    public static final int TOO_LARGE = 7;
    public static final int OUT_OF_MEMORY = 8;

    /**
     * What the decoded streams of one document may take beyond the file's own bytes (which the
     * parser copies once): a thousand times a large office document's compressed objects, while a
     * few kilobytes that inflate to gigabytes are refused after this much work.
     */
    static final long DECODED_LIMIT = 256L << 20;
    /** The parser's buffers beyond this go to a scratch file in the private folder. */
    static final long MAIN_MEMORY = 16L << 20;
    /** The program's private folder, given when the machine starts. */
    static final String PRIVATE_FOLDER_PROPERTY = "velin.private_folder";

    /**
     * One signature dictionary of the file as the bridge reads it, field by field: the bridge
     * takes the whole record at once.
     */
    static final class Signer {
        byte[] certificate;
        /** "day/month/year hour:minute:second" in UTC, or null. */
        String signing_time;
        /** The CMS signature verifies over the signed bytes and its byte range is well formed. */
        boolean valid;
        /** The well-formed /ByteRange of the signature, its own; null otherwise. */
        long[] range;
        /** The subfilter: adbe.pkcs7.detached, ETSI.CAdES.detached, ETSI.RFC3161... */
        String kind;
        /** Why the signature does not verify ("" when it does). */
        String problem = "";
        /** False for a form of signature this class does not read (its subfilter is kind). */
        boolean supported = true;
        /** The dotted OID of the digest algorithm the signature rests on, "" when not known. */
        String digest = "";
        /**
         * Its range ends before the file does (trailing white space aside): a later revision
         * changed the document after it, and whatever later signature or time stamp closes the
         * change, this one does not cover the document as it is now.
         */
        boolean changed_after;
        /** What the later revisions changed (Revision_changes' kinds). */
        int changes;
        /**
         * The fields it locks that the later revisions changed, by their full names without
         * control characters and with "?" for characters beyond the first 65536 (which the bridge
         * cannot hand over as they are).
         */
        String[] locked_changed = new String[0];
        /**
         * The pages (from 1, in order) on which later revisions added or redrew a signature's or
         * document time stamp's widget that draws there.
         */
        int[] appearance_pages = new int[0];
        /** The /Contents as the dictionary holds it, padding included; null when not readable. */
        byte[] contents;
        /**
         * A field of the document's form refers to its dictionary; false for a dictionary found in
         * the file that none refers to (listed after those of the form).
         */
        boolean in_form = true;
    }

    private int error = OK;
    private String stack = "";
    private final List<Signer> signers = new ArrayList<>();
    // One verifier per signer's certificate in a document: many signatures often share one.
    private final Map<X509CertificateHolder, SignerInformationVerifier> verifiers = new HashMap<>();
    private boolean appended;
    private int certification;
    private Pdf_validation_data validation_data = Pdf_validation_data.empty();

    /**
     * The BouncyCastle provider's name, registered the first time it is needed: only for a key or
     * digest the library's lightweight classes and the runtime do not cover (signer_verifier and
     * range_digest). Its several thousand entries were a first PDF's largest single cost.
     */
    private static synchronized String library_provider() {
        if (Security.getProvider("BC") == null)
            Security.addProvider(new BouncyCastleProvider());
        return "BC";
    }

    public int error() {
        return error;
    }

    public String exception_stack() {
        return stack;
    }

    /** Every signature dictionary of the file, those of the form first, one record each. */
    public Signer[] signers() {
        return signers.toArray(new Signer[0]);
    }

    /** The DocMDP level of the document's certification (1 to 3), 0 when it is not certified. */
    public int certification_level() {
        return certification;
    }

    /** The DSS dictionary's items of a kind: 0 certificates, 1 CRLs, 2 OCSP answers. */
    public byte[][] validation_items(int kind) {
        return validation_data.items(kind);
    }

    /** Bytes follow the end of the last signed revision: nothing signs them. */
    public boolean bytes_after_signatures() {
        return appended;
    }

    public void verify(byte[] pdf) {
        signers.clear();
        verifiers.clear();
        appended = false;
        certification = 0;
        validation_data = Pdf_validation_data.empty();
        error = OK;
        stack = "";
        PDDocument document;
        Revision_changes.Parser parser;
        Counted_scratch scratch;
        try {
            scratch = new Counted_scratch(memory_setting(), pdf.length + DECODED_LIMIT);
        } catch (Throwable t) {
            fail(NOT_A_PDF, t);
            return;
        }
        try {
            parser = new Revision_changes.Parser(pdf, scratch);
            parser.parse();
            document = parser.getPDDocument();
        } catch (Throwable t) {
            fail(scratch, NOT_A_PDF, t);
            close(scratch);
            return;
        }
        try {
            Dictionaries found = dictionaries(parser, document, pdf);
            signers.addAll(Arrays.asList(read_in_hole_order(found, pdf)));
            if (signers.isEmpty()) {
                error = NOT_SIGNED;
                return;
            }
            refuse_shared_holes();
            judge_later_revisions(parser, document, pdf, found.locks);
            // The form's certification only: a dictionary outside the form certifies nothing.
            certification = Revision_changes.certification_level(found.signatures.subList(0, found.form_count));
            validation_data = Pdf_validation_data.read(document);
        } catch (Throwable t) {
            fail(scratch, NOT_A_PDF, t);
        } finally {
            try {
                document.close();
            } catch (Throwable ignored) {
            }
            close(scratch);
        }
        // The parser is lenient: a stream that failed to decode may have been passed over.
        if (scratch.exceeded)
            refuse(TOO_LARGE);
    }

    /**
     * The signature dictionaries of the document: the form's first, then those no field refers
     * to, each with where its object starts (-1 when not known) and what it locks.
     */
    private static final class Dictionaries {
        final List<PDSignature> signatures = new ArrayList<>();
        final List<Long> places = new ArrayList<>();
        final List<Field_lock> locks = new ArrayList<>();
        int form_count;

        void add(COSDictionary dictionary, long place, Field_lock lock) {
            signatures.add(new PDSignature(dictionary));
            places.add(place);
            locks.add(lock);
        }
    }

    private static Dictionaries dictionaries(Revision_changes.Parser parser, PDDocument document, byte[] pdf)
            throws IOException {
        Map<COSObjectKey, Long> offsets = document.getDocument().getXrefTable();
        Dictionaries found = new Dictionaries();
        Set<COSObjectKey> referenced = new HashSet<>();
        for (PDSignatureField field : document.getSignatureFields()) {
            COSBase value = field.getCOSObject().getItem(COSName.V);
            long offset = -1;
            if (value instanceof COSObject) {
                COSObjectKey key = new COSObjectKey((COSObject) value);
                referenced.add(key);
                Long at = offsets.get(key);
                offset = at == null ? -1 : at;
                value = ((COSObject) value).getObject();
            }
            if (value instanceof COSDictionary)
                found.add((COSDictionary) value, offset, Field_lock.of((COSDictionary) value, field.getCOSObject()));
        }
        found.form_count = found.signatures.size();
        for (Map.Entry<Long, COSDictionary> outside : outside_form(parser, offsets, pdf, found.places, referenced)
                .entrySet())
            found.add(outside.getValue(), outside.getKey(), Field_lock.of(outside.getValue(), null));
        return found;
    }

    /** Every dictionary read in the order of the holes, so that the digests go through the file once. */
    private Signer[] read_in_hole_order(Dictionaries found, byte[] pdf) {
        Range_digests digests = new Range_digests(pdf);
        long[] holes = new long[found.signatures.size()];
        Integer[] order = new Integer[holes.length];
        for (int i = 0; i < holes.length; ++i) {
            long[] range = byte_range(found.signatures.get(i), pdf.length);
            holes[i] = range == null ? -1 : range[1];
            order[i] = i;
        }
        Arrays.sort(order, (x, y) -> Long.compare(holes[x], holes[y]));
        Signer[] read = new Signer[holes.length];
        for (int i : order)
            read[i] = read(found.signatures.get(i), found.places.get(i), pdf, digests);
        for (int i = found.form_count; i < read.length; ++i)
            read[i].in_form = false;
        return read;
    }

    /** Names without control characters, "?" for characters the bridge cannot hand over. */
    private static String[] names_for_bridge(String[] names) {
        String[] kept = new String[names.length];
        for (int i = 0; i < names.length; ++i) {
            StringBuilder name = new StringBuilder();
            names[i].codePoints().filter(c -> !Character.isISOControl(c))
                    .forEach(c -> name.append(c > 0xFFFF || Character.isSurrogate((char) c) ? '?' : (char) c));
            kept[i] = name.toString();
        }
        return kept;
    }

    /**
     * Which signatures a later revision follows and what it changed, and whether bytes follow
     * the last signed revision. Only well-formed ranges, each a dictionary's own, say where signed
     * bytes end.
     */
    private void judge_later_revisions(Revision_changes.Parser parser, PDDocument document, byte[] pdf,
            List<Field_lock> locks) {
        long signed_end = 0, length = trimmed_length(pdf);
        long[] ends = new long[signers.size()];
        for (int i = 0; i < ends.length; ++i) {
            long[] range = signers.get(i).range;
            ends[i] = range == null ? -1 : range[2] + range[3];
            if (range != null) {
                signed_end = Math.max(signed_end, ends[i]);
                signers.get(i).changed_after = ends[i] < length;
            }
        }
        appended = signed_end < length;
        String[][] locked = new String[ends.length][];
        int[][] pages = new int[ends.length][];
        int[] changes = Revision_changes.changes(parser, document, pdf, ends, length, locks, locked, pages);
        for (int i = 0; i < ends.length; ++i) {
            signers.get(i).changes = changes[i];
            signers.get(i).locked_changed = names_for_bridge(locked[i]);
            signers.get(i).appearance_pages = pages[i];
        }
    }

    /**
     * The signature dictionaries in the file that no field of the document refers to, by where
     * their objects start: every object, of any revision, holding a /ByteRange array and a
     * /Contents string beside a signature's /Type or a /Filter, other than those the fields gave
     * (at known, by their keys in referenced, older versions of them included). A signature's
     * hole is bytes of the file, so its dictionary is never inside a compressed object stream:
     * the file is searched once for the name, and each object it falls in is read once.
     */
    private static Map<Long, COSDictionary> outside_form(Revision_changes.Parser parser,
            Map<COSObjectKey, Long> offsets, byte[] pdf, List<Long> known, Set<COSObjectKey> referenced) {
        java.util.TreeMap<Long, COSObjectKey> objects = new java.util.TreeMap<>();
        for (Revision_changes.Section section : parser.resolver.sections.values())
            for (Map.Entry<COSObjectKey, Long> entry : section.entries.entrySet())
                if (entry.getValue() != null && entry.getValue() > 0)
                    objects.put(entry.getValue(), entry.getKey());
        for (Map.Entry<COSObjectKey, Long> entry : offsets.entrySet())
            if (entry.getValue() != null && entry.getValue() > 0)
                objects.put(entry.getValue(), entry.getKey());
        Map<Long, COSDictionary> found = new java.util.LinkedHashMap<>();
        Set<Long> looked = new HashSet<>(known);
        byte[] name = "/ByteRange".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        byte[] end = "endobj".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        for (int at = 0; at + name.length <= pdf.length; ++at) {
            if (pdf[at] != '/' || !Arrays.equals(pdf, at, at + name.length, name, 0, name.length))
                continue;
            Map.Entry<Long, COSObjectKey> object = objects.floorEntry((long) at);
            if (object == null || !looked.add(object.getKey()) || referenced.contains(object.getValue()))
                continue;
            // The name lies in that object, not after its end, within the reach of a dictionary.
            long offset = object.getKey();
            if (at - offset > 1 << 20)
                continue;
            boolean inside = true;
            for (int i = (int) offset; inside && i + end.length <= at; ++i)
                inside = !(pdf[i] == 'e' && Arrays.equals(pdf, i, i + end.length, end, 0, end.length));
            if (!inside)
                continue;
            try {
                COSBase value = parser.object_at(offset, object.getValue().getNumber());
                if (value instanceof COSDictionary && !(value instanceof org.apache.pdfbox.cos.COSStream)
                        && signature_dictionary((COSDictionary) value))
                    found.put(offset, (COSDictionary) value);
            } catch (IOException | RuntimeException e) {
                // Not an object that can be read where its entry says: no signature of its own.
            }
        }
        return found;
    }

    private static final COSName DOC_TIME_STAMP = COSName.getPDFName("DocTimeStamp");

    /**
     * A signature's dictionary holding a signature value: a /Contents with bytes other than the
     * zeros of a hole laid out for a signature that was never written (what a signing program that
     * failed leaves behind signs nothing).
     */
    private static boolean signature_dictionary(COSDictionary dictionary) {
        COSBase type = dictionary.getDictionaryObject(COSName.TYPE);
        COSBase contents = dictionary.getDictionaryObject(COSName.CONTENTS);
        if (!(dictionary.getDictionaryObject(COSName.BYTERANGE) instanceof COSArray) || !(contents instanceof COSString)
                || !(COSName.SIG.equals(type) || DOC_TIME_STAMP.equals(type)
                        || dictionary.getDictionaryObject(COSName.FILTER) instanceof COSName))
            return false;
        for (byte b : ((COSString) contents).getBytes())
            if (b != 0)
                return true;
        return false;
    }

    private void refuse(int code) {
        error = code;
        signers.clear();
        appended = false;
        validation_data = Pdf_validation_data.empty();
    }

    private static void close(ScratchFile scratch) {
        try {
            scratch.close();
        } catch (Throwable ignored) {
        }
    }

    /**
     * A bounded budget in main memory and the rest in a scratch file in the private folder; only
     * main memory when that folder is not known (decoded content is never written where others
     * can read it).
     */
    private static MemoryUsageSetting memory_setting() {
        String folder = System.getProperty(PRIVATE_FOLDER_PROPERTY, "");
        if (folder.isEmpty() || !new File(folder).isDirectory())
            return MemoryUsageSetting.setupMainMemoryOnly();
        return MemoryUsageSetting.setupMixed(MAIN_MEMORY).setTempDir(new File(folder));
    }

    static final class Decoded_too_large extends IOException {
        Decoded_too_large() {
            super("gli oggetti decompressi superano il limite");
        }
    }

    /**
     * The parser's scratch buffers, which every stream's raw bytes and every decoded stream are
     * written to, counted together: past the limit a write fails, and the document is refused
     * even where the parser passes over the failure.
     */
    static final class Counted_scratch extends ScratchFile {
        private final long limit;
        private long written;
        boolean exceeded;

        Counted_scratch(MemoryUsageSetting setting, long limit) throws IOException {
            super(setting);
            this.limit = limit;
        }

        @Override
        public RandomAccess createBuffer() throws IOException {
            return new Counted_buffer(super.createBuffer());
        }

        @Override
        public RandomAccess createBuffer(InputStream input) throws IOException {
            RandomAccess buffer = createBuffer();
            byte[] chunk = new byte[8192];
            for (int read; (read = input.read(chunk)) > 0;)
                buffer.write(chunk, 0, read);
            buffer.seek(0);
            return buffer;
        }

        synchronized void count(long bytes) throws IOException {
            written += bytes;
            if (written > limit) {
                exceeded = true;
                throw new Decoded_too_large();
            }
        }

        final class Counted_buffer implements RandomAccess {
            private final RandomAccess buffer;

            Counted_buffer(RandomAccess buffer) {
                this.buffer = buffer;
            }

            @Override
            public void write(int b) throws IOException {
                count(1);
                buffer.write(b);
            }

            @Override
            public void write(byte[] b) throws IOException {
                count(b.length);
                buffer.write(b);
            }

            @Override
            public void write(byte[] b, int offset, int length) throws IOException {
                count(length);
                buffer.write(b, offset, length);
            }

            @Override
            public void clear() throws IOException {
                buffer.clear();
            }

            @Override
            public int read() throws IOException {
                return buffer.read();
            }

            @Override
            public int read(byte[] b) throws IOException {
                return buffer.read(b);
            }

            @Override
            public int read(byte[] b, int offset, int length) throws IOException {
                return buffer.read(b, offset, length);
            }

            @Override
            public long getPosition() throws IOException {
                return buffer.getPosition();
            }

            @Override
            public void seek(long position) throws IOException {
                buffer.seek(position);
            }

            @Override
            public long length() throws IOException {
                return buffer.length();
            }

            @Override
            public boolean isClosed() {
                return buffer.isClosed();
            }

            @Override
            public int peek() throws IOException {
                return buffer.peek();
            }

            @Override
            public void rewind(int bytes) throws IOException {
                buffer.rewind(bytes);
            }

            @Override
            public byte[] readFully(int length) throws IOException {
                return buffer.readFully(length);
            }

            @Override
            public boolean isEOF() throws IOException {
                return buffer.isEOF();
            }

            @Override
            public int available() throws IOException {
                return buffer.available();
            }

            @Override
            public void close() throws IOException {
                buffer.close();
            }
        }
    }

    /**
     * The library's parser, with hex strings of the plain form (hex digits and white space up to
     * the closing bracket) read straight from the file's array. The library reads them through a
     * text and a small string per byte: a signature's hole is a hex string of kilobytes, and with
     * a thousand signatures that was most of the parse. Any other form is left to the library.
     */
    static class Hex_string_parser extends PDFParser {
        private final byte[] pdf;
        private final RandomAccessBuffer reader;

        Hex_string_parser(byte[] pdf, ScratchFile scratch) throws IOException {
            this(pdf, new RandomAccessBuffer(pdf), scratch);
        }

        private Hex_string_parser(byte[] pdf, RandomAccessBuffer reader, ScratchFile scratch) throws IOException {
            super(reader, "", null, null, scratch);
            this.pdf = pdf;
            this.reader = reader;
        }

        @Override
        protected COSString parseCOSString() throws IOException {
            // The library's parser reads this buffer where it stands, one byte at a time.
            long start = reader.getPosition();
            if (start < 0 || start >= pdf.length || pdf[(int) start] != '<')
                return super.parseCOSString();
            int digits = 0, end = (int) start + 1;
            for (;; ++end) {
                if (end >= pdf.length)
                    return super.parseCOSString();
                byte c = pdf[end];
                if (c == '>')
                    break;
                if (HEX[c & 0xFF] >= 0 && HEX[c & 0xFF] < SPACE)
                    ++digits;
                else if (c != ' ' && c != '\n' && c != '\t' && c != '\r' && c != '\b' && c != '\f')
                    return super.parseCOSString();
            }
            // A last lone digit stands for its pair with 0.
            byte[] bytes = new byte[(digits + 1) / 2];
            int made = 0, high = -1;
            for (int at = (int) start + 1; at < end; ++at) {
                int digit = HEX[pdf[at] & 0xFF];
                if (digit < 0 || digit == SPACE)
                    continue;
                if (high < 0) {
                    high = digit;
                    continue;
                }
                bytes[made++] = (byte) (high << 4 | digit);
                high = -1;
            }
            if (high >= 0)
                bytes[made] = (byte) (high << 4);
            reader.seek(end + 1L);
            return new COSString(bytes);
        }
    }

    /** The file's length without trailing white space, which some writers add after %%EOF. */
    private static long trimmed_length(byte[] pdf) {
        int end = pdf.length;
        while (end > 0 && (pdf[end - 1] == '\n' || pdf[end - 1] == '\r' || pdf[end - 1] == ' ' || pdf[end - 1] == 0))
            --end;
        return end;
    }

    /**
     * Two dictionaries with one hole: one of them is checked with the other's signature. Neither
     * is taken, since nothing in the bytes tells which one the signature was made for.
     */
    private void refuse_shared_holes() {
        Map<Long, Signer> holes = new HashMap<>();
        List<Signer> sharing = new ArrayList<>();
        for (Signer signer : signers) {
            if (signer.range == null)
                continue;
            Signer other = holes.putIfAbsent(signer.range[1], signer);
            if (other != null) {
                sharing.add(other);
                sharing.add(signer);
            }
        }
        for (Signer signer : sharing) {
            signer.valid = false;
            signer.range = null;
            signer.problem = "il ByteRange è quello di un'altra firma";
        }
    }

    /** offset: where the dictionary's object starts in the file, -1 when not known. */
    private Signer read(PDSignature dictionary, long offset, byte[] pdf, Range_digests digests) {
        Signer signer = new Signer();
        signer.kind = dictionary.getSubFilter() == null ? "" : dictionary.getSubFilter();
        try {
            byte[] contents = dictionary.getContents();
            signer.contents = contents;
            long[] range = byte_range(dictionary, pdf.length);
            if (range != null && own_hole(range, contents, offset, pdf))
                signer.range = range;
            if (!SUPPORTED.contains(signer.kind)) {
                signer.supported = false;
                signer.problem = "forma di firma non supportata: " + signer.kind;
                if (dictionary.getSignDate() != null)
                    signer.signing_time = format(dictionary.getSignDate().getTime());
                return signer;
            }
            if (signer.range == null) {
                signer.problem = "ByteRange non valido";
                return signer;
            }
            Signed_bytes signed = new Signed_bytes(digests, range);
            if ("ETSI.RFC3161".equals(signer.kind))
                verify_time_stamp(signer, contents, signed);
            else if ("adbe.pkcs7.sha1".equals(signer.kind))
                verify_sha1(signer, contents, signed);
            else if ("adbe.x509.rsa_sha1".equals(signer.kind))
                verify_pkcs1(signer, dictionary, contents, signed);
            else
                verify_detached(signer, contents, signed);
            if (signer.signing_time == null && dictionary.getSignDate() != null)
                signer.signing_time = format(dictionary.getSignDate().getTime());
        } catch (VirtualMachineError e) {
            throw e;
        } catch (Throwable t) {
            signer.valid = false;
            signer.problem = t.toString();
        }
        return signer;
    }

    // PBAD.PAdES is the detached CAdES signature under the Brazilian policy, read as ETSI.CAdES.detached.
    private static final List<String> SUPPORTED = Arrays.asList("adbe.pkcs7.detached", "ETSI.CAdES.detached",
            "PBAD.PAdES", "adbe.pkcs7.sha1", "ETSI.RFC3161", "adbe.x509.rsa_sha1");

    /**
     * The /ByteRange [0, a, b, c] as numbers, each checked against the file's length before any
     * sum is made of them (an int of the library's would wrap), and the whole inside the file:
     * from the start, a hole from a to b, and the rest up to b + c. Null when it is not that.
     */
    private static long[] byte_range(PDSignature dictionary, long length) {
        COSBase base = dictionary.getCOSObject().getDictionaryObject(COSName.BYTERANGE);
        if (!(base instanceof COSArray) || ((COSArray) base).size() != 4)
            return null;
        long[] range = new long[4];
        for (int i = 0; i < 4; ++i) {
            COSBase item = ((COSArray) base).getObject(i);
            if (!(item instanceof COSInteger) || !((COSInteger) item).isValid())
                return null;
            range[i] = ((COSInteger) item).longValue();
            if (range[i] < 0 || range[i] > length)
                return null;
        }
        if (range[0] != 0 || range[1] < 1 || range[2] < range[1] + 2 || range[3] > length - range[2])
            return null;
        return range;
    }

    private static final byte SPACE = 16;
    /** A byte's value as a hex digit, SPACE for white space, -1 for anything else. */
    private static final byte[] HEX = new byte[256];
    static {
        Arrays.fill(HEX, (byte) -1);
        for (int i = 0; i < 16; ++i) {
            HEX["0123456789abcdef".charAt(i)] = (byte) i;
            HEX["0123456789ABCDEF".charAt(i)] = (byte) i;
        }
        for (char c : new char[] {' ', '\n', '\r', '\t', '\f', 0})
            HEX[c] = SPACE;
    }

    /**
     * The hole holds exactly this dictionary's own Contents string, written as hex digits between
     * angle brackets, inside the dictionary's own object when the object's place is known: the
     * signature is checked with its own bytes, never with another field's. The digits may be in
     * either case and broken by white space, and a last lone digit stands for its pair with 0, as
     * in any hex string (some services write the signature in lines).
     */
    private static boolean own_hole(long[] range, byte[] contents, long offset, byte[] pdf) {
        int a = (int) range[1], b = (int) range[2];
        if (pdf[a] != '<' || pdf[b - 1] != '>')
            return false;
        int read = 0, high = -1;
        for (int at = a + 1; at < b - 1; ++at) {
            int digit = HEX[pdf[at] & 0xFF];
            if (digit == SPACE)
                continue;
            if (digit < 0)
                return false;
            if (high < 0) {
                high = digit;
                continue;
            }
            if (read >= contents.length || (byte) (high * 16 + digit) != contents[read++])
                return false;
            high = -1;
        }
        if (high >= 0 && (read >= contents.length || (byte) (high * 16) != contents[read++]))
            return false;
        if (read != contents.length)
            return false;
        if (offset < 0)
            return true;
        // From the object's start to the hole the object does not end (and a dictionary does not
        // run for a megabyte before its Contents).
        if (offset >= a || a - offset > 1 << 20)
            return false;
        byte[] end = "endobj".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
        for (int at = (int) offset; at + end.length <= a; ++at)
            if (pdf[at] == 'e' && Arrays.equals(pdf, at, at + end.length, end, 0, end.length))
                return false;
        return true;
    }

    /**
     * The digests of the signatures' byte ranges, each read where it lies in the file. A range is
     * the file up to its signature's hole and the rest of that revision, so a file signed N times
     * would be digested N/2 times over: the bytes before the holes are digested once, in a running
     * digest per algorithm, and each range's digest continues a copy of it at its hole. Asked in
     * the order of the holes, the file is read once (a hole before the last one asked starts over).
     */
    static final class Range_digests {
        private final byte[] pdf;
        private final Map<String, MessageDigest> running = new HashMap<>();
        private final Map<String, Long> reached = new HashMap<>();

        Range_digests(byte[] pdf) {
            this.pdf = pdf;
        }

        byte[] digest(String algorithm, long[] range) throws Exception {
            MessageDigest prefix = running.get(algorithm);
            long from = reached.getOrDefault(algorithm, 0L);
            if (prefix == null || from > range[1]) {
                prefix = range_digest(algorithm);
                from = 0;
            }
            prefix.update(pdf, (int) from, (int) (range[1] - from));
            MessageDigest copy;
            try {
                copy = (MessageDigest) prefix.clone();
                running.put(algorithm, prefix);
                reached.put(algorithm, range[1]);
            } catch (CloneNotSupportedException e) {
                copy = prefix;
                running.remove(algorithm);
            }
            copy.update(pdf, (int) range[2], (int) range[3]);
            return copy.digest();
        }
    }

    /** One signature's byte range, to be digested. */
    static final class Signed_bytes {
        private final Range_digests digests;
        private final long[] range;

        Signed_bytes(Range_digests digests, long[] range) {
            this.digests = digests;
            this.range = range;
        }

        byte[] digest(String algorithm) throws Exception {
            return digests.digest(algorithm, range);
        }
    }

    private void verify_detached(Signer signer, byte[] contents, Signed_bytes signed) throws Exception {
        // Read once for the signer's digest algorithm, then again with the range's digest as the
        // content's (bytes carried inside the CMS, if any, are not what the signature is checked on).
        ASN1ObjectIdentifier algorithm = single_signer(new CMSSignedData(contents)).getDigestAlgorithmID().getAlgorithm();
        CMSSignedData cms = new CMSSignedData(
                Collections.singletonMap(algorithm, signed.digest(algorithm.getId())), contents);
        SignerInformation information = single_signer(cms);
        X509CertificateHolder certificate = certificate_of(cms.getCertificates(), information);
        signer.certificate = certificate.getEncoded();
        signer.signing_time = signing_time(information);
        signer.digest = information.getDigestAlgOID();
        // The lightweight verifiers are kept: the others serve signatures of rare forms.
        ASN1ObjectIdentifier key = lightweight_key(certificate, information);
        SignerInformationVerifier verifier = key != null ? verifiers.get(certificate) : null;
        if (verifier == null) {
            verifier = signer_verifier(certificate, key);
            if (key != null)
                verifiers.put(certificate, verifier);
        }
        signer.valid = information.verify(verifier);
        if (!signer.valid)
            signer.problem = "la firma non corrisponde ai byte firmati";
    }

    /**
     * The runtime's own digests (with the processor's instructions, several times faster than the
     * library's), the library's for an algorithm the runtime lacks: a signature's range is the
     * whole file up to it, so a file with many signatures is digested many times over.
     */
    static MessageDigest range_digest(String algorithm) throws Exception {
        try {
            return MessageDigest.getInstance(algorithm);
        } catch (NoSuchAlgorithmException e) {
            return MessageDigest.getInstance(algorithm, library_provider());
        }
    }

    /**
     * The certificate's key algorithm when the library's lightweight classes, which the provider's
     * own signatures are made of, check this signer; null otherwise. They check a signature over
     * signed attributes (not one made directly over the document's digest) with an RSA key in
     * PKCS#1 form (not PSS), an EC or an EdDSA key.
     */
    static ASN1ObjectIdentifier lightweight_key(X509CertificateHolder certificate, SignerInformation signer) {
        ASN1ObjectIdentifier key = certificate.getSubjectPublicKeyInfo().getAlgorithm().getAlgorithm();
        boolean light = signer.getSignedAttributes() != null
                && !PKCSObjectIdentifiers.id_RSASSA_PSS.getId().equals(signer.getEncryptionAlgOID())
                && (key.equals(PKCSObjectIdentifiers.rsaEncryption) || key.equals(X9ObjectIdentifiers.id_ecPublicKey)
                        || key.equals(EdECObjectIdentifiers.id_Ed25519) || key.equals(EdECObjectIdentifiers.id_Ed448));
        return light ? key : null;
    }

    /**
     * The signer's verifier, with the certificate's key alone: the lightweight one for the key
     * lightweight_key gave, else the provider's. A verifier that carries the certificate makes the
     * library refuse a signature whose signing time lies outside the certificate's validity, as if
     * the bytes did not match; the certificate's validity is judged with its chain, and a signing
     * time is only what the signer's clock said.
     */
    static SignerInformationVerifier signer_verifier(X509CertificateHolder certificate, ASN1ObjectIdentifier key)
            throws Exception {
        if (key == null)
            return new JcaSignerInfoVerifierBuilder(new JcaDigestCalculatorProviderBuilder().build())
                    .setProvider(library_provider())
                    .build(new JcaX509CertificateConverter().setProvider(library_provider())
                            .getCertificate(certificate).getPublicKey());
        DefaultCMSSignatureAlgorithmNameGenerator names = new DefaultCMSSignatureAlgorithmNameGenerator();
        DefaultSignatureAlgorithmIdentifierFinder signatures = new DefaultSignatureAlgorithmIdentifierFinder();
        DefaultDigestAlgorithmIdentifierFinder digests = new DefaultDigestAlgorithmIdentifierFinder();
        BcDigestCalculatorProvider calculators = new BcDigestCalculatorProvider();
        AsymmetricKeyParameter public_key = PublicKeyFactory.createKey(certificate.getSubjectPublicKeyInfo());
        if (key.equals(PKCSObjectIdentifiers.rsaEncryption))
            return new BcRSASignerInfoVerifierBuilder(names, signatures, digests, calculators).build(public_key);
        if (key.equals(X9ObjectIdentifiers.id_ecPublicKey))
            return new BcECSignerInfoVerifierBuilder(names, signatures, digests, calculators).build(public_key);
        return new BcEdDSASignerInfoVerifierBuilder(names, signatures, digests, calculators).build(public_key);
    }

    /**
     * A time-stamp token's verifier: the library checks the token with its authority's certificate,
     * whose validity at the token's own time is part of what a time stamp is.
     */
    static SignerInformationVerifier stamp_verifier(X509CertificateHolder certificate, ASN1ObjectIdentifier key)
            throws Exception {
        if (key == null)
            return new JcaSignerInfoVerifierBuilder(new JcaDigestCalculatorProviderBuilder().build())
                    .setProvider(library_provider()).build(certificate);
        DefaultCMSSignatureAlgorithmNameGenerator names = new DefaultCMSSignatureAlgorithmNameGenerator();
        DefaultSignatureAlgorithmIdentifierFinder signatures = new DefaultSignatureAlgorithmIdentifierFinder();
        DefaultDigestAlgorithmIdentifierFinder digests = new DefaultDigestAlgorithmIdentifierFinder();
        BcDigestCalculatorProvider calculators = new BcDigestCalculatorProvider();
        if (key.equals(PKCSObjectIdentifiers.rsaEncryption))
            return new BcRSASignerInfoVerifierBuilder(names, signatures, digests, calculators).build(certificate);
        if (key.equals(X9ObjectIdentifiers.id_ecPublicKey))
            return new BcECSignerInfoVerifierBuilder(names, signatures, digests, calculators).build(certificate);
        return new BcEdDSASignerInfoVerifierBuilder(names, signatures, digests, calculators).build(certificate);
    }

    /** adbe.pkcs7.sha1: the CMS content is the SHA-1 digest of the signed bytes. */
    private void verify_sha1(Signer signer, byte[] contents, Signed_bytes signed) throws Exception {
        CMSSignedData cms = new CMSSignedData(contents);
        SignerInformation information = single_signer(cms);
        X509CertificateHolder certificate = certificate_of(cms.getCertificates(), information);
        signer.certificate = certificate.getEncoded();
        signer.signing_time = signing_time(information);
        // Whatever the signer's own digest, the document is bound by its SHA-1 digest.
        signer.digest = OIWObjectIdentifiers.idSHA1.getId();
        byte[] digest = signed.digest("SHA-1");
        byte[] carried = cms.getSignedContent() == null ? null : (byte[]) cms.getSignedContent().getContent();
        boolean cms_ok = information.verify(signer_verifier(certificate, lightweight_key(certificate, information)));
        signer.valid = cms_ok && carried != null && Arrays.equals(digest, carried);
        if (!signer.valid)
            signer.problem = "la firma non corrisponde ai byte firmati";
    }

    /** A document time stamp: the token's signature, and its imprint over the signed bytes. */
    private void verify_time_stamp(Signer signer, byte[] contents, Signed_bytes signed) throws Exception {
        CMSSignedData cms = new CMSSignedData(contents);
        TimeStampToken token = new TimeStampToken(cms);
        X509CertificateHolder certificate = certificate_of(token.getCertificates(), token.getSID());
        signer.certificate = certificate.getEncoded();
        signer.signing_time = format(token.getTimeStampInfo().getGenTime());
        token.validate(stamp_verifier(certificate, lightweight_key(certificate, single_signer(cms))));
        String algorithm = token.getTimeStampInfo().getMessageImprintAlgOID().getId();
        signer.digest = algorithm;
        byte[] digest = signed.digest(algorithm);
        signer.valid = Arrays.equals(digest, token.getTimeStampInfo().getMessageImprintDigest());
        if (!signer.valid)
            signer.problem = "l'impronta della marca temporale non corrisponde ai byte firmati";
    }

    /**
     * adbe.x509.rsa_sha1: /Contents holds the PKCS#1 signature in a DER OCTET STRING (the rest of
     * the hole is padding), /Cert the signer's certificate, or an array of certificates with the
     * signer's first. The signature opened with the certificate's key is a DigestInfo, whose
     * algorithm the digest of the signed bytes is taken with (SHA-1 by name, others in practice).
     */
    private void verify_pkcs1(Signer signer, PDSignature dictionary, byte[] contents, Signed_bytes signed)
            throws Exception {
        COSBase cert = dictionary.getCOSObject().getDictionaryObject(COSName.CERT);
        if (cert instanceof COSArray && ((COSArray) cert).size() > 0)
            cert = ((COSArray) cert).getObject(0);
        if (!(cert instanceof COSString))
            throw new IllegalArgumentException("manca il certificato del firmatario");
        X509CertificateHolder certificate = new X509CertificateHolder(((COSString) cert).getBytes());
        signer.certificate = certificate.getEncoded();
        ASN1Primitive value;
        try (ASN1InputStream in = new ASN1InputStream(contents)) {
            value = in.readObject();
        }
        if (!(value instanceof ASN1OctetString))
            throw new IllegalArgumentException("Contents non contiene una firma PKCS#1");
        byte[] pkcs1 = ((ASN1OctetString) value).getOctets();
        SubjectPublicKeyInfo key = certificate.getSubjectPublicKeyInfo();
        if (!PKCSObjectIdentifiers.rsaEncryption.equals(key.getAlgorithm().getAlgorithm()))
            throw new IllegalArgumentException("la chiave del certificato non è RSA");
        AsymmetricKeyParameter parameters = PublicKeyFactory.createKey(key);
        PKCS1Encoding rsa = new PKCS1Encoding(new RSAEngine());
        rsa.init(false, parameters);
        byte[] block;
        try {
            block = rsa.processBlock(pkcs1, 0, pkcs1.length);
        } catch (org.bouncycastle.crypto.InvalidCipherTextException e) {
            signer.problem = "la firma non corrisponde alla chiave del certificato";
            return;
        }
        DigestInfo info = DigestInfo.getInstance(block);
        // Only the one encoding: anything else in the block would ride along unchecked.
        if (!Arrays.equals(info.getEncoded(ASN1Encoding.DER), block)) {
            signer.problem = "la firma non contiene una DigestInfo in DER";
            return;
        }
        signer.digest = info.getAlgorithmId().getAlgorithm().getId();
        byte[] digest = signed.digest(signer.digest);
        signer.valid = MessageDigest.isEqual(digest, info.getDigest());
        if (!signer.valid)
            signer.problem = "la firma non corrisponde ai byte firmati";
    }

    private static SignerInformation single_signer(CMSSignedData cms) {
        Collection<SignerInformation> all = cms.getSignerInfos().getSigners();
        if (all.size() != 1)
            throw new IllegalArgumentException("la firma ha " + all.size() + " firmatari");
        return all.iterator().next();
    }

    @SuppressWarnings("unchecked")
    private static X509CertificateHolder certificate_of(Store<X509CertificateHolder> store, SignerInformation information) {
        return certificate_of(store, information.getSID());
    }

    private static X509CertificateHolder certificate_of(Store<X509CertificateHolder> store, SignerId id) {
        Collection<X509CertificateHolder> matches = store.getMatches(id);
        if (matches.isEmpty())
            throw new IllegalArgumentException("manca il certificato del firmatario");
        return matches.iterator().next();
    }

    private static String signing_time(SignerInformation information) throws Exception {
        AttributeTable attributes = information.getSignedAttributes();
        if (attributes == null)
            return null;
        Attribute time = attributes.get(CMSAttributes.signingTime);
        if (time == null || time.getAttrValues().size() != 1)
            return null;
        ASN1Encodable value = time.getAttrValues().getObjectAt(0);
        if (value instanceof ASN1UTCTime)
            return format(((ASN1UTCTime) value).getAdjustedDate());
        if (value instanceof ASN1GeneralizedTime)
            return format(((ASN1GeneralizedTime) value).getDate());
        return null;
    }

    private static String format(Date date) {
        Calendar calendar = Calendar.getInstance(TimeZone.getTimeZone("UTC"));
        calendar.setTime(date);
        return calendar.get(Calendar.DAY_OF_MONTH) + "/" + (calendar.get(Calendar.MONTH) + 1) + "/"
                + calendar.get(Calendar.YEAR) + " " + calendar.get(Calendar.HOUR_OF_DAY) + ":"
                + calendar.get(Calendar.MINUTE) + ":" + calendar.get(Calendar.SECOND);
    }

    /** The limit passed or the heap ran out: that, whatever the parser made of it. */
    private void fail(Counted_scratch scratch, int code, Throwable t) {
        if (scratch.exceeded)
            code = TOO_LARGE;
        else if (t instanceof OutOfMemoryError)
            code = OUT_OF_MEMORY;
        fail(code, t);
        if (code != NOT_A_PDF)
            signers.clear();
    }

    private void fail(int code, Throwable t) {
        error = code;
        StringWriter text = new StringWriter();
        t.printStackTrace(new PrintWriter(text));
        stack = text.toString();
    }
}
