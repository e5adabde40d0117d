package it.norax.coop.sigillo;

import java.io.InputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.security.MessageDigest;

import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.io.MemoryUsageSetting;
import org.apache.pdfbox.pdmodel.PDDocument;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.ExternalSigningSupport;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.PDSignature;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.SignatureOptions;

/**
 * Adds a document time stamp (ETSI.RFC3161) to a PDF as an incremental update, in two steps: the
 * update is laid out and the SHA-256 digest of the bytes it will cover handed to the caller, who
 * asks the time-stamping authority; the authority's token then goes into the hole left for it.
 * Every signature before it keeps its bytes.
 *
 * error(): 0 ready; 1 the document could not be read or laid out; 2 the token could not be put in
 * place (too large for the hole, or no document prepared).
 */
public class JNI_Pdf_timestamp {
    public static final int OK = 0;
    public static final int PREPARE_FAILED = 1;
    public static final int FINISH_FAILED = 2;

    /** Room for a token with the authority's whole chain in it. */
    static final int TOKEN_ROOM = 24 * 1024;

    private int error = OK;
    private String stack = "";
    private PDDocument document;
    private ExternalSigningSupport support;
    private JNI_Pdf_sign.Exact_output out;

    public int error() {
        return error;
    }

    public String exception_stack() {
        return stack;
    }

    /** The SHA-256 digest of the bytes the time stamp will cover, or null (error() tells why). */
    public byte[] prepare(byte[] pdf) {
        dispose();
        try {
            document = PDDocument.load(pdf, "", null, null, MemoryUsageSetting.setupMainMemoryOnly());
            PDSignature stamp = new PDSignature();
            stamp.setType(COSName.getPDFName("DocTimeStamp"));
            stamp.setFilter(PDSignature.FILTER_ADOBE_PPKLITE);
            stamp.setSubFilter(COSName.getPDFName("ETSI.RFC3161"));
            out = new JNI_Pdf_sign.Exact_output();
            try (SignatureOptions options = new SignatureOptions()) {
                options.setPreferredSignatureSize(TOKEN_ROOM);
                document.addSignature(stamp, options);
                support = document.saveIncrementalForExternalSigning(out);
            }
            // The update is laid out: what is left to write is the document as it came and the
            // update's bytes, so PDFBox's copies of the document's streams are garbage.
            JNI_Pdf_sign.release_streams(document);
            int[] range = stamp.getByteRange();
            out.allocate(range.length == 4 ? (long) range[2] + range[3] : -1);
            MessageDigest digest = MessageDigest.getInstance("SHA-256");
            byte[] piece = new byte[64 * 1024];
            try (InputStream content = support.getContent()) {
                for (int read; (read = content.read(piece)) > 0;)
                    digest.update(piece, 0, read);
            }
            error = OK;
            return digest.digest();
        } catch (Throwable t) {
            keep(t);
            dispose();
            error = PREPARE_FAILED;
            return null;
        }
    }

    /** The document with the token (a DER TimeStampToken) in its update, or null. */
    public byte[] finish(byte[] token) {
        try {
            if (support == null || token == null)
                throw new IllegalStateException("nessun documento preparato per la marca");
            support.setSignature(token);
            byte[] stamped = out.result();
            error = OK;
            return stamped;
        } catch (Throwable t) {
            keep(t);
            error = FINISH_FAILED;
            return null;
        } finally {
            dispose();
        }
    }

    public void dispose() {
        support = null;
        out = null;
        if (document != null) {
            try {
                document.close();
            } catch (Throwable t) {
                keep(t);
            }
            document = null;
        }
    }

    private void keep(Throwable t) {
        StringWriter text = new StringWriter();
        t.printStackTrace(new PrintWriter(text));
        stack = text.toString();
    }
}
