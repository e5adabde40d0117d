package it.norax.coop.sigillo;

import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.IdentityHashMap;
import java.util.List;
import java.util.Map;

import org.apache.pdfbox.cos.COSArray;
import org.apache.pdfbox.cos.COSBase;
import org.apache.pdfbox.cos.COSDictionary;
import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.cos.COSObject;
import org.apache.pdfbox.cos.COSStream;
import org.apache.pdfbox.pdmodel.PDDocument;

/**
 * The validation data a document carries for its signatures: the certificates, CRLs and OCSP
 * answers of the catalog's DSS dictionary, and those of its VRI entries (each an array of streams
 * like the DSS's own). The bytes are handed over as they are: the verifier decides what they are
 * worth. A stream that fails to decode, or that is larger than an item can be, is left out; past
 * ITEM_LIMIT items of a kind the rest is left out too.
 */
final class Pdf_validation_data {
    static final int CERTIFICATES = 0;
    static final int CRLS = 1;
    static final int OCSP_ANSWERS = 2;

    /** A real CRL of a large authority runs to some megabytes; an OCSP answer or a certificate to kilobytes. */
    static final int ITEM_SIZE_LIMIT = 16 << 20;
    static final int ITEM_LIMIT = 1000;

    private static final String[] KEYS = {"Certs", "CRLs", "OCSPs"};
    private static final String[] VRI_KEYS = {"Cert", "CRL", "OCSP"};

    private final List<List<byte[]>> items = new ArrayList<>();
    // A stream named by the DSS and by a VRI entry is taken once.
    private final Map<COSBase, Boolean> seen = new IdentityHashMap<>();

    private Pdf_validation_data() {
        for (int i = 0; i < KEYS.length; ++i)
            items.add(new ArrayList<>());
    }

    static Pdf_validation_data empty() {
        return new Pdf_validation_data();
    }

    /**
     * What the document's DSS dictionary holds; nothing when it has none. A damaged dictionary
     * gives what was read before the damage: the signatures are judged without the rest.
     */
    static Pdf_validation_data read(PDDocument document) {
        Pdf_validation_data data = new Pdf_validation_data();
        try {
            read(document, data);
        } catch (RuntimeException e) {
            // Kept as far as it got.
        }
        return data;
    }

    private static void read(PDDocument document, Pdf_validation_data data) {
        COSBase dss = document.getDocumentCatalog().getCOSObject().getDictionaryObject(COSName.getPDFName("DSS"));
        if (!(dss instanceof COSDictionary))
            return;
        COSDictionary dictionary = (COSDictionary) dss;
        for (int kind = 0; kind < KEYS.length; ++kind)
            data.take(kind, dictionary.getDictionaryObject(KEYS[kind]));
        COSBase vri = dictionary.getDictionaryObject(COSName.getPDFName("VRI"));
        if (vri instanceof COSDictionary)
            for (COSName key : ((COSDictionary) vri).keySet()) {
                COSBase entry = ((COSDictionary) vri).getDictionaryObject(key);
                if (!(entry instanceof COSDictionary))
                    continue;
                for (int kind = 0; kind < VRI_KEYS.length; ++kind)
                    data.take(kind, ((COSDictionary) entry).getDictionaryObject(VRI_KEYS[kind]));
            }
    }

    byte[][] items(int kind) {
        if (kind < 0 || kind >= items.size())
            return new byte[0][];
        return items.get(kind).toArray(new byte[0][]);
    }

    private void take(int kind, COSBase array) {
        if (!(array instanceof COSArray))
            return;
        for (COSBase item : (COSArray) array) {
            if (items.get(kind).size() >= ITEM_LIMIT)
                return;
            COSBase value = item instanceof COSObject ? ((COSObject) item).getObject() : item;
            if (!(value instanceof COSStream) || seen.put(value, Boolean.TRUE) != null)
                continue;
            byte[] bytes = decoded((COSStream) value);
            if (bytes != null && bytes.length > 0)
                items.get(kind).add(bytes);
        }
    }

    private static byte[] decoded(COSStream stream) {
        try (InputStream in = stream.createInputStream()) {
            byte[] bytes = in.readNBytes(ITEM_SIZE_LIMIT + 1);
            return bytes.length > ITEM_SIZE_LIMIT ? null : bytes;
        } catch (IOException e) {
            return null;
        }
    }
}
