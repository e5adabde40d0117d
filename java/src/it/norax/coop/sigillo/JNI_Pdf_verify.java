package it.norax.coop.sigillo;

import java.io.ByteArrayOutputStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.security.MessageDigest;
import java.security.Security;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Calendar;
import java.util.Collection;
import java.util.Date;
import java.util.List;
import java.util.TimeZone;

import org.apache.pdfbox.io.MemoryUsageSetting;
import org.apache.pdfbox.pdmodel.PDDocument;
import org.apache.pdfbox.pdmodel.interactive.digitalsignature.PDSignature;
import org.bouncycastle.asn1.ASN1Encodable;
import org.bouncycastle.asn1.ASN1UTCTime;
import org.bouncycastle.asn1.ASN1GeneralizedTime;
import org.bouncycastle.asn1.cms.Attribute;
import org.bouncycastle.asn1.cms.AttributeTable;
import org.bouncycastle.asn1.cms.CMSAttributes;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cms.CMSProcessableByteArray;
import org.bouncycastle.cms.CMSSignedData;
import org.bouncycastle.cms.SignerId;
import org.bouncycastle.cms.SignerInformation;
import org.bouncycastle.cms.jcajce.JcaSimpleSignerInfoVerifierBuilder;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.tsp.TimeStampToken;
import org.bouncycastle.util.Store;

/**
 * Reads the signatures of a PDF document: for each signature dictionary, whether its byte range
 * covers the file except its own hole, whether its CMS signature verifies over those bytes, the
 * signer's certificate and the signing time.
 *
 * error(): 0 read; 1 not a PDF that can be read; 6 a PDF without signatures.
 */
public class JNI_Pdf_verify {
    public static final int OK = 0;
    public static final int NOT_A_PDF = 1;
    public static final int NOT_SIGNED = 6;

    static final class Signer {
        byte[] certificate;
        String signing_time;
        boolean valid;
        boolean covers_revision;
        String kind;
        String problem = "";
    }

    private int error = OK;
    private String stack = "";
    private final List<Signer> signers = new ArrayList<>();
    private boolean appended;

    public JNI_Pdf_verify() {
        if (Security.getProvider("BC") == null)
            Security.addProvider(new BouncyCastleProvider());
    }

    public int error() {
        return error;
    }

    public String exception_stack() {
        return stack;
    }

    public int signers_count() {
        return signers.size();
    }

    public byte[] signer_at(int index) {
        return signers.get(index).certificate;
    }

    /** "day/month/year hour:minute:second" in UTC, or null. */
    public String signing_time_at(int index) {
        return signers.get(index).signing_time;
    }

    /** The CMS signature verifies over the signed bytes and its byte range is well formed. */
    public boolean signature_valid_at(int index) {
        return signers.get(index).valid;
    }

    /** Why the signature does not verify ("" when it does). */
    public String problem_at(int index) {
        return signers.get(index).problem;
    }

    /** The subfilter of the signature: adbe.pkcs7.detached, ETSI.CAdES.detached, ETSI.RFC3161... */
    public String kind_at(int index) {
        return signers.get(index).kind;
    }

    /** Bytes follow the end of the last signed revision: nothing signs them. */
    public boolean bytes_after_signatures() {
        return appended;
    }

    public void verify(byte[] pdf) {
        signers.clear();
        appended = false;
        error = OK;
        stack = "";
        PDDocument document;
        try {
            document = PDDocument.load(pdf, "", null, null, MemoryUsageSetting.setupMainMemoryOnly());
        } catch (Throwable t) {
            fail(NOT_A_PDF, t);
            return;
        }
        try {
            List<PDSignature> dictionaries = document.getSignatureDictionaries();
            if (dictionaries.isEmpty()) {
                error = NOT_SIGNED;
                return;
            }
            long signed_end = 0;
            for (PDSignature dictionary : dictionaries) {
                Signer signer = read(dictionary, pdf);
                signers.add(signer);
                int[] range = dictionary.getByteRange();
                if (range != null && range.length == 4)
                    signed_end = Math.max(signed_end, (long) range[2] + range[3]);
            }
            appended = signed_end < trimmed_length(pdf);
        } catch (Throwable t) {
            fail(NOT_A_PDF, t);
        } finally {
            try {
                document.close();
            } catch (Throwable ignored) {
            }
        }
    }

    /** The file's length without trailing white space, which some writers add after %%EOF. */
    private static long trimmed_length(byte[] pdf) {
        int end = pdf.length;
        while (end > 0 && (pdf[end - 1] == '\n' || pdf[end - 1] == '\r' || pdf[end - 1] == ' ' || pdf[end - 1] == 0))
            --end;
        return end;
    }

    private Signer read(PDSignature dictionary, byte[] pdf) {
        Signer signer = new Signer();
        signer.kind = dictionary.getSubFilter() == null ? "" : dictionary.getSubFilter();
        try {
            int[] range = dictionary.getByteRange();
            if (!well_formed(range, pdf)) {
                signer.problem = "ByteRange non valido";
                return signer;
            }
            signer.covers_revision = true;
            byte[] signed = new byte[range[1] + range[3]];
            System.arraycopy(pdf, range[0], signed, 0, range[1]);
            System.arraycopy(pdf, range[2], signed, range[1], range[3]);
            byte[] contents = dictionary.getContents(pdf);
            if ("ETSI.RFC3161".equals(signer.kind))
                verify_time_stamp(signer, contents, signed);
            else if ("adbe.pkcs7.sha1".equals(signer.kind))
                verify_sha1(signer, contents, signed);
            else
                verify_detached(signer, contents, signed);
            if (signer.signing_time == null && dictionary.getSignDate() != null)
                signer.signing_time = format(dictionary.getSignDate().getTime());
        } catch (Throwable t) {
            signer.valid = false;
            signer.problem = t.toString();
        }
        return signer;
    }

    /**
     * [0, a, b, c]: from the start of the file, a hole from a to b that holds exactly the
     * Contents string, and the rest up to b + c inside the file.
     */
    private static boolean well_formed(int[] range, byte[] pdf) {
        if (range == null || range.length != 4 || range[0] != 0)
            return false;
        long a = range[1], b = range[2], c = range[3];
        if (a < 1 || b <= a || c < 0 || b + c > pdf.length)
            return false;
        return pdf[(int) a] == '<' && pdf[(int) b - 1] == '>';
    }

    private void verify_detached(Signer signer, byte[] contents, byte[] signed) throws Exception {
        CMSSignedData cms = new CMSSignedData(new CMSProcessableByteArray(signed), contents);
        SignerInformation information = single_signer(cms);
        X509CertificateHolder certificate = certificate_of(cms.getCertificates(), information);
        signer.certificate = certificate.getEncoded();
        signer.signing_time = signing_time(information);
        signer.valid = information.verify(new JcaSimpleSignerInfoVerifierBuilder().setProvider("BC").build(certificate));
        if (!signer.valid)
            signer.problem = "la firma non corrisponde ai byte firmati";
    }

    /** adbe.pkcs7.sha1: the CMS content is the SHA-1 digest of the signed bytes. */
    private void verify_sha1(Signer signer, byte[] contents, byte[] signed) throws Exception {
        CMSSignedData cms = new CMSSignedData(contents);
        SignerInformation information = single_signer(cms);
        X509CertificateHolder certificate = certificate_of(cms.getCertificates(), information);
        signer.certificate = certificate.getEncoded();
        signer.signing_time = signing_time(information);
        byte[] digest = MessageDigest.getInstance("SHA-1").digest(signed);
        byte[] carried = cms.getSignedContent() == null ? null : (byte[]) cms.getSignedContent().getContent();
        boolean cms_ok = information.verify(new JcaSimpleSignerInfoVerifierBuilder().setProvider("BC").build(certificate));
        signer.valid = cms_ok && carried != null && Arrays.equals(digest, carried);
        if (!signer.valid)
            signer.problem = "la firma non corrisponde ai byte firmati";
    }

    /** A document time stamp: the token's signature, and its imprint over the signed bytes. */
    private void verify_time_stamp(Signer signer, byte[] contents, byte[] signed) throws Exception {
        TimeStampToken token = new TimeStampToken(new CMSSignedData(contents));
        X509CertificateHolder certificate = certificate_of(token.getCertificates(), token.getSID());
        signer.certificate = certificate.getEncoded();
        signer.signing_time = format(token.getTimeStampInfo().getGenTime());
        token.validate(new JcaSimpleSignerInfoVerifierBuilder().setProvider("BC").build(certificate));
        String algorithm = token.getTimeStampInfo().getMessageImprintAlgOID().getId();
        byte[] digest = MessageDigest.getInstance(algorithm, "BC").digest(signed);
        signer.valid = Arrays.equals(digest, token.getTimeStampInfo().getMessageImprintDigest());
        if (!signer.valid)
            signer.problem = "l'impronta della marca temporale non corrisponde ai byte firmati";
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

    private void fail(int code, Throwable t) {
        error = code;
        StringWriter text = new StringWriter();
        t.printStackTrace(new PrintWriter(text));
        stack = text.toString();
    }
}
