package it.norax.coop.sigillo;

import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.cert.Certificate;
import java.security.cert.X509Certificate;
import java.util.Calendar;
import java.util.Collections;
import java.util.Enumeration;
import java.util.TimeZone;

import org.apache.pdfbox.cos.COSBase;
import org.apache.pdfbox.cos.COSDictionary;
import org.apache.pdfbox.cos.COSName;
import org.apache.pdfbox.cos.COSObject;
import org.apache.pdfbox.cos.COSStream;
import org.apache.pdfbox.io.MemoryUsageSetting;
import org.apache.pdfbox.pdmodel.PDDocument;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.PDSignature;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.SignatureOptions;
import org.apache.pdfbox.pdmodel.interactive.form.PDSignatureField;
import org.bouncycastle.asn1.ASN1EncodableVector;
import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.DERSet;
import org.bouncycastle.asn1.cms.Attribute;
import org.bouncycastle.asn1.cms.AttributeTable;
import org.bouncycastle.asn1.cms.CMSObjectIdentifiers;
import org.bouncycastle.asn1.ess.ESSCertIDv2;
import org.bouncycastle.asn1.ess.SigningCertificateV2;
import org.bouncycastle.asn1.nist.NISTObjectIdentifiers;
import org.bouncycastle.asn1.pkcs.PKCSObjectIdentifiers;
import org.bouncycastle.asn1.x509.AlgorithmIdentifier;
import org.bouncycastle.asn1.x509.GeneralName;
import org.bouncycastle.asn1.x509.GeneralNames;
import org.bouncycastle.asn1.x509.IssuerSerial;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cert.jcajce.JcaCertStore;
import org.bouncycastle.cms.CMSException;
import org.bouncycastle.cms.CMSSignedData;
import org.bouncycastle.cms.CMSSignedDataGenerator;
import org.bouncycastle.cms.CMSTypedData;
import org.bouncycastle.cms.DefaultSignedAttributeTableGenerator;
import org.bouncycastle.cms.jcajce.JcaSignerInfoGeneratorBuilder;
import org.bouncycastle.operator.ContentSigner;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;
import org.bouncycastle.operator.jcajce.JcaDigestCalculatorProviderBuilder;

/**
 * Signs a PDF document with the card's key (PAdES baseline B: a detached CAdES signature with
 * SHA-256 and ESS signing-certificate-v2, the signing time in the signature dictionary, written
 * as an incremental update so that earlier signatures stay valid).
 *
 * The card's key is reached through the JDK's PKCS#11 provider on the card middleware's module:
 * use_token names the module and the slot of the card's reader, initialize the reader's position.
 *
 * error(): 0 ready; 4 the card software (the module) is missing; 5 no card in the reader; 7 the
 * PIN was refused or no signing key was found; 8 the document could not be signed.
 */
public class JNI_Pdf_sign {
    public static final int OK = 0;
    public static final int NO_SOFTWARE = 4;
    public static final int NO_CARD = 5;
    public static final int ALREADY_SIGNED = 6;
    public static final int NO_KEY = 7;
    public static final int SIGNING_FAILED = 8;
    public static final int PIN_REFUSED = 9;
    public static final int PIN_BLOCKED = 10;

    private int error = OK;
    private String stack = "";
    private String module;
    private long slot = -1;
    private int reader_index = -1;
    private Provider provider;
    private PrivateKey key;
    private X509Certificate certificate;
    private Certificate[] chain;
    private int certification;
    private boolean locked;

    public JNI_Pdf_sign() {
    }

    public int error() {
        return error;
    }

    public String exception_stack() {
        return stack;
    }

    /** The PKCS#11 module of the card middleware and the slot of the card's reader. */
    public void use_token(String module_path, long slot_id) {
        module = module_path;
        slot = slot_id;
    }

    /** A key held by the machine itself in place of the card's: the start-up workload signs with one. */
    void use_key(Provider key_provider, PrivateKey signing_key, X509Certificate[] certificates) {
        provider = key_provider;
        key = signing_key;
        certificate = certificates[0];
        chain = certificates;
        error = OK;
    }

    public boolean is_signed(byte[] pdf) {
        certification = 0;
        locked = false;
        try (PDDocument document = PDDocument.load(pdf, "", null, null, MemoryUsageSetting.setupMainMemoryOnly())) {
            certification = Revision_changes.certification_level(document.getSignatureDictionaries());
            // A signed field whose lock allows no further change.
            for (PDSignatureField field : document.getSignatureFields()) {
                COSBase value = field.getCOSObject().getDictionaryObject(COSName.V);
                Field_lock lock = value instanceof COSDictionary ? Field_lock.of((COSDictionary) value, field.getCOSObject()) : null;
                locked = locked || lock != null && lock.forbids_signing();
            }
            return !document.getSignatureDictionaries().isEmpty();
        } catch (Throwable t) {
            keep(t);
            return false;
        }
    }

    /**
     * The DocMDP level of the certification of the document is_signed read (1 no change allowed,
     * 2 and 3 a further signature too), 0 when it is not certified.
     */
    public int certification_level() {
        return certification;
    }

    /**
     * A signature of the document is_signed read locks every field, or its field's lock allows no
     * change at all: a further signature would break it.
     */
    public boolean locked() {
        return locked;
    }

    /** Opens the token of the reader at reader_index (0-based in the reader list). */
    public void initialize(int reader_index) {
        this.reader_index = reader_index;
        error = OK;
        try {
            if (module == null || !new java.io.File(module).isFile()) {
                error = NO_SOFTWARE;
                return;
            }
            if (slot < 0) {
                error = NO_CARD;
                return;
            }
            String configuration = "--name=velin\nlibrary=" + module + "\nslot=" + slot + "\n";
            Provider base = Security.getProvider("SunPKCS11");
            provider = base.configure(configuration);
        } catch (Throwable t) {
            keep(t);
            error = NO_CARD;
        }
    }

    /**
     * Logs in with the PIN and takes the signing key and its certificate. The PIN comes as the
     * caller's own array, never as a String (which nothing can wipe), and is wiped here whatever
     * happens.
     */
    public void load_store(char[] pin) {
        try {
            if (provider == null || pin == null)
                return;
            KeyStore store = KeyStore.getInstance("PKCS11", provider);
            store.load(null, pin);
            String chosen = null;
            for (Enumeration<String> aliases = store.aliases(); aliases.hasMoreElements();) {
                String alias = aliases.nextElement();
                if (!store.isKeyEntry(alias))
                    continue;
                Certificate candidate = store.getCertificate(alias);
                if (!(candidate instanceof X509Certificate))
                    continue;
                boolean[] usage = ((X509Certificate) candidate).getKeyUsage();
                boolean non_repudiation = usage != null && usage.length > 1 && usage[1];
                if (chosen == null || non_repudiation)
                    chosen = alias;
                if (non_repudiation)
                    break;
            }
            if (chosen == null) {
                error = NO_KEY;
                return;
            }
            key = (PrivateKey) store.getKey(chosen, null);
            certificate = (X509Certificate) store.getCertificate(chosen);
            chain = store.getCertificateChain(chosen);
        } catch (Throwable t) {
            keep(t);
            error = login_refusal(t);
        } finally {
            if (pin != null)
                java.util.Arrays.fill(pin, '\0');
        }
    }

    /**
     * Why the token refused the login, from the module's return value that the provider keeps in
     * the causes (its exception class is not exported: its message is the CKR_ name): a PIN that
     * was refused or is blocked must stop the caller from trying it again.
     */
    private static int login_refusal(Throwable t) {
        for (Throwable cause = t; cause != null; cause = cause.getCause()) {
            String message = String.valueOf(cause.getMessage());
            if (message.contains("CKR_PIN_LOCKED"))
                return PIN_BLOCKED;
            if (cause instanceof javax.security.auth.login.FailedLoginException || message.contains("CKR_PIN_INCORRECT")
                    || message.contains("CKR_PIN_INVALID") || message.contains("CKR_PIN_LEN_RANGE"))
                return PIN_REFUSED;
        }
        return NO_KEY;
    }

    /**
     * The signed document, or null (error() tells why). The document's array is read where it is
     * (PDFBox wraps it), the bytes to sign are hashed as they stream past, and the result is one
     * array of the signed document's exact size: the document and the result are the only copies
     * held, a large document is not copied again on its way through.
     */
    public byte[] sign(byte[] pdf, boolean incremental) {
        if (key == null) {
            if (error == OK)
                error = NO_KEY;
            return null;
        }
        try (PDDocument document = PDDocument.load(pdf, "", null, null, MemoryUsageSetting.setupMainMemoryOnly());
                SignatureOptions options = new SignatureOptions()) {
            PDSignature signature = new PDSignature();
            signature.setFilter(PDSignature.FILTER_ADOBE_PPKLITE);
            signature.setSubFilter(PDSignature.SUBFILTER_ETSI_CADES_DETACHED);
            signature.setName(certificate.getSubjectX500Principal().getName());
            signature.setSignDate(Calendar.getInstance(TimeZone.getTimeZone("UTC")));
            options.setPreferredSignatureSize(16384);
            Exact_output out = new Exact_output();
            document.addSignature(signature, content -> {
                // The update is written out by now: what is left to write is the document as it
                // came and the update's bytes, so PDFBox's copies of the document's streams are
                // garbage, and the byte range, final, ends where the signed document ends.
                release_streams(document);
                int[] range = signature.getByteRange();
                out.allocate(range.length == 4 ? (long) range[2] + range[3] : -1);
                return cades(content);
            }, options);
            document.saveIncremental(out);
            byte[] signed = out.result();
            error = OK;
            return signed;
        } catch (Throwable t) {
            keep(t);
            error = SIGNING_FAILED;
            return null;
        }
    }

    public void dispose() {
        key = null;
        certificate = null;
        chain = null;
        if (provider != null) {
            // Through the public AuthProvider: the provider's own class is not open to reflection,
            // and a token left logged in would take any PIN at the next login.
            try {
                if (provider instanceof java.security.AuthProvider)
                    ((java.security.AuthProvider) provider).logout();
            } catch (Throwable t) {
                keep(t);
            }
            provider = null;
        }
    }

    /**
     * Frees the copies of the document's streams PDFBox took when it loaded the document (it reads
     * every object, streams included, into its own buffers), so that their memory can hold the
     * signed document. A stream read after this fails rather than giving wrong bytes.
     */
    static void release_streams(PDDocument document) {
        for (COSObject object : document.getDocument().getObjects()) {
            COSBase base = object.getObject();
            if (base instanceof COSStream) {
                try {
                    ((COSStream) base).close();
                } catch (java.io.IOException ignored) {
                    // The stream's pages are as good as freed: nothing reads them again.
                }
            }
        }
    }

    /** The detached CAdES signature over the bytes PDFBox hands over. */
    private byte[] cades(InputStream content) throws java.io.IOException {
        try {
            X509CertificateHolder holder = new X509CertificateHolder(certificate.getEncoded());
            byte[] hash = MessageDigest.getInstance("SHA-256").digest(certificate.getEncoded());
            ESSCertIDv2 id = new ESSCertIDv2(new AlgorithmIdentifier(NISTObjectIdentifiers.id_sha256), hash,
                    new IssuerSerial(new GeneralNames(new GeneralName(holder.getIssuer())), holder.getSerialNumber()));
            ASN1EncodableVector signed = new ASN1EncodableVector();
            signed.add(new Attribute(PKCSObjectIdentifiers.id_aa_signingCertificateV2,
                    new DERSet(new SigningCertificateV2(new ESSCertIDv2[] {id}))));
            String algorithm = key.getAlgorithm().equals("EC") ? "SHA256withECDSA" : "SHA256withRSA";
            ContentSigner signer = new JcaContentSignerBuilder(algorithm).setProvider(provider).build(key);
            CMSSignedDataGenerator generator = new CMSSignedDataGenerator();
            generator.addSignerInfoGenerator(new JcaSignerInfoGeneratorBuilder(
                    new JcaDigestCalculatorProviderBuilder().build())
                    .setSignedAttributeGenerator(new PAdES_attributes(new AttributeTable(signed)))
                    .build(signer, certificate));
            generator.addCertificates(new JcaCertStore(chain == null ? Collections.singletonList(certificate)
                    : java.util.Arrays.asList(chain)));
            CMSSignedData data = generator.generate(new Streamed_content(content), false);
            // The generator writes indefinite lengths; a signature dictionary's Contents is DER.
            return data.getEncoded(org.bouncycastle.asn1.ASN1Encoding.DER);
        } catch (java.io.IOException e) {
            throw e;
        } catch (Exception e) {
            throw new java.io.IOException(e);
        }
    }

    /** The bytes to sign as PDFBox streams them, passed once through the digest. */
    private static final class Streamed_content implements CMSTypedData {
        private InputStream content;

        Streamed_content(InputStream content) {
            this.content = content;
        }

        @Override
        public ASN1ObjectIdentifier getContentType() {
            return CMSObjectIdentifiers.data;
        }

        @Override
        public void write(OutputStream out) throws java.io.IOException, CMSException {
            if (content == null)
                throw new CMSException("contenuto già letto");
            InputStream once = content;
            content = null;
            once.transferTo(out);
        }

        // Not null: the generator digests only content it is told is there.
        @Override
        public Object getContent() {
            return this;
        }
    }

    /**
     * The signed document in one array of its exact size, made when PDFBox hands over the bytes
     * to sign (before it writes anything); a write beyond that size or a result short of it is a
     * failure, never a truncated or padded document.
     */
    static final class Exact_output extends OutputStream {
        private byte[] bytes;
        private int count;

        void allocate(long size) throws java.io.IOException {
            if (size < 0 || size > Integer.MAX_VALUE - 8)
                throw new java.io.IOException("dimensione del documento firmato non valida: " + size);
            bytes = new byte[(int) size];
            count = 0;
        }

        @Override
        public void write(int b) throws java.io.IOException {
            room(1);
            bytes[count++] = (byte) b;
        }

        @Override
        public void write(byte[] b, int offset, int length) throws java.io.IOException {
            java.util.Objects.checkFromIndexSize(offset, length, b.length);
            room(length);
            System.arraycopy(b, offset, bytes, count, length);
            count += length;
        }

        private void room(int length) throws java.io.IOException {
            if (bytes == null || length > bytes.length - count)
                throw new java.io.IOException("il documento firmato supera la dimensione prevista");
        }

        byte[] result() throws java.io.IOException {
            if (bytes == null || count != bytes.length)
                throw new java.io.IOException("documento firmato incompleto");
            return bytes;
        }
    }

    /** content-type, message-digest and signing-certificate-v2; no signing-time (it is in /M). */
    private static final class PAdES_attributes extends DefaultSignedAttributeTableGenerator {
        PAdES_attributes(AttributeTable attributes) {
            super(attributes);
        }

        @Override
        @SuppressWarnings("rawtypes")
        protected java.util.Hashtable createStandardAttributeTable(java.util.Map parameters) {
            java.util.Hashtable table = super.createStandardAttributeTable(parameters);
            table.remove(org.bouncycastle.asn1.cms.CMSAttributes.signingTime);
            return table;
        }
    }

    private void keep(Throwable t) {
        StringWriter text = new StringWriter();
        t.printStackTrace(new PrintWriter(text));
        stack = text.toString();
    }
}
