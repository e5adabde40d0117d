package it.norax.coop.sigillo;

import java.io.ByteArrayOutputStream;
import java.math.BigInteger;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.SecureRandom;
import java.security.Security;
import java.security.cert.X509Certificate;
import java.util.Calendar;
import java.util.Collections;
import java.util.Date;
import java.util.TimeZone;

import org.apache.pdfbox.pdmodel.PDDocument;
import org.apache.pdfbox.pdmodel.PDPage;
import org.apache.pdfbox.pdmodel.PDPageContentStream;
import org.bouncycastle.asn1.ASN1Encodable;
import org.bouncycastle.asn1.ASN1InputStream;
import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.ASN1Sequence;
import org.bouncycastle.asn1.BERSequence;
import org.bouncycastle.asn1.BERTaggedObject;
import org.bouncycastle.asn1.cms.ContentInfo;
import org.bouncycastle.asn1.oiw.OIWObjectIdentifiers;
import org.bouncycastle.asn1.x500.X500Name;
import org.bouncycastle.asn1.x509.AlgorithmIdentifier;
import org.bouncycastle.asn1.x509.BasicConstraints;
import org.bouncycastle.asn1.x509.ExtendedKeyUsage;
import org.bouncycastle.asn1.x509.Extension;
import org.bouncycastle.asn1.x509.KeyPurposeId;
import org.bouncycastle.asn1.x509.KeyUsage;
import org.bouncycastle.cert.jcajce.JcaCertStore;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder;
import org.bouncycastle.cms.jcajce.JcaSimpleSignerInfoGeneratorBuilder;
import org.bouncycastle.operator.jcajce.JcaContentSignerBuilder;
import org.bouncycastle.operator.jcajce.JcaDigestCalculatorProviderBuilder;
import org.bouncycastle.tsp.TSPAlgorithms;
import org.bouncycastle.tsp.TimeStampTokenGenerator;
import org.bouncycastle.util.encoders.Hex;

/**
 * The work the programs ask of these classes, done once with a throwaway key: a PDF made, signed,
 * time-stamped and verified, every method the bridge calls called. The build runs it with the
 * machine recording the classes it loads, and the programs start their machine from that record,
 * so that the first PDF is not slowed by reading and checking several hundred classes.
 * Exits with status 1 when a step fails.
 */
public final class Startup_workload {
    private static boolean prepared;

    /**
     * The slowest first step of the first verification, begun on a thread of its own as soon as
     * the machine is up: PDFBox's document class (its static part sets up the imaging classes'
     * colour management), the calendar the signing times are told in and the random source of the
     * RSA key checks. Returns at once; whatever the thread has not finished yet, the verification
     * waits for as it needs it (a class is initialised once, by whichever thread comes first). A
     * step that fails here fails again where it is needed, and is reported there.
     */
    public static synchronized void prepare_verification() {
        if (prepared)
            return;
        prepared = true;
        Thread side = new Thread(Startup_workload::prepare_documents, "Preparazione PDF");
        side.setDaemon(true);
        side.start();
    }

    private static void prepare_documents() {
        try {
            Class.forName("org.apache.pdfbox.pdmodel.PDDocument");
            Calendar.getInstance(TimeZone.getTimeZone("UTC")).get(Calendar.YEAR);
            new SecureRandom().nextBytes(new byte[16]);
        } catch (Throwable ignored) {
        }
    }

    public static void main(String[] args) throws Exception {
        prepare_verification();
        KeyPairGenerator generator = KeyPairGenerator.getInstance("RSA");
        generator.initialize(2048);
        KeyPair pair = generator.generateKeyPair();
        X509Certificate certificate = certificate(pair);

        JNI_Pdf_sign signer = new JNI_Pdf_sign();
        signer.use_key(Security.getProvider("SunRsaSign"), pair.getPrivate(), new X509Certificate[] {certificate});
        byte[] plain = plain();
        signer.is_signed(plain);
        byte[] signed = signer.sign(plain, true);
        signer.dispose();
        check(signed != null && signer.error() == JNI_Pdf_sign.OK, signer.exception_stack());

        JNI_Pdf_timestamp stamper = new JNI_Pdf_timestamp();
        byte[] imprint = stamper.prepare(signed);
        check(imprint != null, stamper.exception_stack());
        byte[] stamped = stamper.finish(token(imprint, pair, certificate));
        check(stamped != null, stamper.exception_stack());

        JNI_Pdf_verify verifier = new JNI_Pdf_verify();
        verifier.verify(stamped);
        check(verifier.error() == JNI_Pdf_verify.OK && verifier.signers().length == 2, verifier.exception_stack());
        verifier.bytes_after_signatures();

        // Most signers write the signature's envelope with indefinite lengths, which is read by
        // classes of its own: the same signature so written, in the room the document keeps for it.
        verifier.verify(signed);
        JNI_Pdf_verify.Signer first = verifier.signers()[0];
        ContentInfo envelope = ContentInfo.getInstance(new ASN1InputStream(first.contents).readObject());
        byte[] ber = new BERSequence(new ASN1Encodable[] {envelope.getContentType(), new BERTaggedObject(true, 0,
                new BERSequence(ASN1Sequence.getInstance(envelope.getContent()).toArray()))}).getEncoded();
        long[] range = first.range;
        check(range != null, "no byte range");
        byte[] rewritten = signed.clone();
        String hex = Hex.toHexString(ber);
        int hole = (int) (range[0] + range[1]) + 1, room = (int) (range[2] - range[0] - range[1]) - 2;
        check(hex.length() <= room, "no room for the signature");
        for (int i = 0; i < room; ++i)
            rewritten[hole + i] = (byte) (i < hex.length() ? hex.charAt(i) : '0');
        verifier.verify(rewritten);
        check(verifier.error() == JNI_Pdf_verify.OK && verifier.signers()[0].valid, verifier.exception_stack());
    }

    private static void check(boolean passed, String why) {
        if (!passed) {
            System.err.println("Startup_workload: " + why);
            System.exit(1);
        }
    }

    /** One page with a line on it: no fonts, which the verifier never needs. */
    private static byte[] plain() throws Exception {
        try (PDDocument document = new PDDocument()) {
            PDPage page = new PDPage();
            document.addPage(page);
            try (PDPageContentStream content = new PDPageContentStream(document, page)) {
                content.moveTo(72, 700);
                content.lineTo(300, 700);
                content.stroke();
            }
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            document.save(bytes);
            return bytes.toByteArray();
        }
    }

    /** Self-issued, for signing and for time stamping. */
    private static X509Certificate certificate(KeyPair pair) throws Exception {
        X500Name name = new X500Name("CN=Avvio delle classi PDF");
        long now = System.currentTimeMillis();
        JcaX509v3CertificateBuilder builder = new JcaX509v3CertificateBuilder(name, BigInteger.ONE,
                new Date(now - 3600_000L), new Date(now + 86_400_000L), name, pair.getPublic());
        builder.addExtension(Extension.basicConstraints, true, new BasicConstraints(false));
        builder.addExtension(Extension.keyUsage, true, new KeyUsage(KeyUsage.digitalSignature | KeyUsage.nonRepudiation));
        builder.addExtension(Extension.extendedKeyUsage, true, new ExtendedKeyUsage(KeyPurposeId.id_kp_timeStamping));
        return new JcaX509CertificateConverter()
                .getCertificate(builder.build(new JcaContentSignerBuilder("SHA256withRSA").build(pair.getPrivate())));
    }

    private static byte[] token(byte[] imprint, KeyPair pair, X509Certificate certificate) throws Exception {
        TimeStampTokenGenerator generator = new TimeStampTokenGenerator(
                new JcaSimpleSignerInfoGeneratorBuilder().build("SHA256withRSA", pair.getPrivate(), certificate),
                new JcaDigestCalculatorProviderBuilder().build().get(new AlgorithmIdentifier(OIWObjectIdentifiers.idSHA1)),
                new ASN1ObjectIdentifier("1.3.6.1.4.1.99999.9"));
        generator.addCertificates(new JcaCertStore(Collections.singletonList(certificate)));
        return generator.generate(new org.bouncycastle.tsp.TimeStampRequestGenerator().generate(TSPAlgorithms.SHA256, imprint),
                BigInteger.ONE, new Date()).getEncoded();
    }
}
