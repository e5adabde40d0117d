#!/usr/bin/env python3
"""Small DER tools for the time-stamp fixtures: a TSTInfo with a chosen time, a signature time
stamp spliced into a signer's unsigned attributes, TimeStampedData files (RFC 5544), and a
refused time-stamp reply."""
import hashlib
import sys


def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        b = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(b)]) + b
    return bytes([tag]) + length + content


def parse(data, at=0):
    """(tag, content start, content end, element end) of the definite-length element at `at`."""
    tag = data[at]
    first = data[at + 1]
    at += 2
    if first < 0x80:
        n = first
    else:
        k = first & 0x7F
        n = int.from_bytes(data[at:at + k], "big")
        at += k
    return tag, at, at + n, at + n


def children(data, start, end):
    out = []
    while start < end:
        element = parse(data, start)
        out.append((start,) + element)
        start = element[3]
    return out


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return tlv(0x06, body)


DIGESTS = {"sha256": ("2.16.840.1.101.3.4.2.1", hashlib.sha256), "sha1": ("1.3.14.3.2.26", hashlib.sha1)}


def tst_info(covered, when, serial, digest="sha256"):
    """TSTInfo over the bytes of file `covered`, at `when` (YYYYMMDDhhmmssZ)."""
    algorithm, function = DIGESTS[digest]
    imprint = tlv(0x30, tlv(0x30, oid(algorithm) + b"\x05\x00") + tlv(0x04, function(covered).digest()))
    body = (tlv(0x02, b"\x01") + oid("1.3.6.1.4.1.99999.1.1") + imprint + tlv(0x02, serial.to_bytes(serial.bit_length() // 8 + 1, "big")) +
            tlv(0x18, when.encode()))
    return tlv(0x30, body)


def signer_info_path(p7m):
    """Offsets of the last SignerInfo of a DER SignedData."""
    _, cs, ce, _ = parse(p7m, 0)
    fields = children(p7m, cs, ce)
    _, _, ws, we, _ = fields[1][0], fields[1][1], fields[1][2], fields[1][3], fields[1][4]
    signed_data = children(p7m, ws, we)[0]
    sd_fields = children(p7m, signed_data[2], signed_data[3])
    signer_set = sd_fields[-1]
    signers = children(p7m, signer_set[2], signer_set[3])
    return signed_data, sd_fields, signer_set, signers[-1]


def signature_value(p7m):
    signer = signer_info_path(p7m)[3]
    for element in children(p7m, signer[2], signer[3]):
        if element[1] == 0x04:
            return p7m[element[2]:element[3]]
    raise SystemExit("no signature value")


def add_unsigned_attribute(p7m, attribute_oid, value):
    """The envelope with the attribute added to its last signer (all lengths rebuilt)."""
    signed_data, sd_fields, signer_set, signer = signer_info_path(p7m)
    attribute = tlv(0x30, oid(attribute_oid) + tlv(0x31, value))
    fields = children(p7m, signer[2], signer[3])
    body = b"".join(p7m[f[0]:f[4]] for f in fields if f[1] != 0xA1)
    old = [f for f in fields if f[1] == 0xA1]
    existing = p7m[old[0][2]:old[0][3]] if old else b""
    new_signer = tlv(0x30, body + tlv(0xA1, existing + attribute))
    others = children(p7m, signer_set[2], signer_set[3])[:-1]
    new_set = tlv(0x31, b"".join(p7m[o[0]:o[4]] for o in others) + new_signer)
    new_sd = tlv(0x30, b"".join(p7m[f[0]:f[4]] for f in sd_fields[:-1]) + new_set)
    _, cs, ce, _ = parse(p7m, 0)
    content_type = children(p7m, cs, ce)[0]
    return tlv(0x30, p7m[content_type[0]:content_type[4]] + tlv(0xA0, new_sd))


def add_certificate(p7m, certificate):
    """The envelope with one more certificate in its SignedData."""
    _, cs, ce, _ = parse(p7m, 0)
    content_type, wrapper = children(p7m, cs, ce)
    signed_data = children(p7m, wrapper[2], wrapper[3])[0]
    fields = children(p7m, signed_data[2], signed_data[3])
    out = b""
    for f in fields:
        if f[1] == 0xA0:
            out += tlv(0xA0, p7m[f[2]:f[3]] + certificate)
        else:
            out += p7m[f[0]:f[4]]
    return tlv(0x30, p7m[content_type[0]:content_type[4]] + tlv(0xA0, tlv(0x30, out)))


def replace_certificates(p7m, certificate):
    """The envelope (a token) with its certificates replaced by one."""
    _, cs, ce, _ = parse(p7m, 0)
    content_type, wrapper = children(p7m, cs, ce)
    signed_data = children(p7m, wrapper[2], wrapper[3])[0]
    out = b"".join(tlv(0xA0, certificate) if f[1] == 0xA0 else p7m[f[0]:f[4]]
                   for f in children(p7m, signed_data[2], signed_data[3]))
    return tlv(0x30, p7m[content_type[0]:content_type[4]] + tlv(0xA0, tlv(0x30, out)))


def countersignature(value, certificate, key, tamper=False):
    """A SignerInfo over a signature value, by the certificate's issuer and serial number."""
    _, cs, ce, _ = parse(certificate, 0)
    tbs = children(certificate, cs, ce)[0]
    tbs_fields = children(certificate, tbs[2], tbs[3])
    if tbs_fields[0][1] == 0xA0:
        tbs_fields = tbs_fields[1:]
    serial = certificate[tbs_fields[0][0]:tbs_fields[0][4]]
    issuer = certificate[tbs_fields[2][0]:tbs_fields[2][4]]
    digest = hashlib.sha256(value + (b"x" if tamper else b"")).digest()
    attributes = sorted([
        tlv(0x30, oid("1.2.840.113549.1.9.4") + tlv(0x31, tlv(0x04, digest))),
        tlv(0x30, oid("1.2.840.113549.1.9.5") + tlv(0x31, tlv(0x17, b"260101120000Z"))),
    ])
    signed = tlv(0x31, b"".join(attributes))
    import subprocess
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=signed, capture_output=True,
                               check=True).stdout
    return tlv(0x30, tlv(0x02, b"\x01") + tlv(0x30, issuer + serial) +
               tlv(0x30, oid("2.16.840.1.101.3.4.2.1") + b"\x05\x00") + tlv(0xA0, b"".join(attributes)) +
               tlv(0x30, oid("1.2.840.113549.1.1.1") + b"\x05\x00") + tlv(0x04, signature))


def meta_data(name, media, protected):
    return tlv(0x30, tlv(0x01, b"\xff" if protected else b"\x00") + tlv(0x0C, name.encode()) + tlv(0x16, media.encode()))


def timestamped_data(content, meta, tokens):
    evidence = tlv(0xA0, b"".join(tlv(0x30, t) for t in tokens))
    body = tlv(0x02, b"\x01") + (meta or b"") + tlv(0x04, content) + evidence
    return tlv(0x30, oid("1.2.840.113549.1.9.16.1.31") + tlv(0xA0, tlv(0x30, body)))


def ber(der):
    """The same element with indefinite lengths on every constructed element and the content
    OCTET STRING cut into pieces: what some writers produce."""
    tag, start, end, _ = parse(der, 0)
    inside = children(der, start, end) if tag & 0x20 else []
    # A time-stamp token stays as its authority issued it.
    if tag == 0x30 and inside and der[inside[0][0]:inside[0][4]] == oid("1.2.840.113549.1.7.2"):
        return der[0:end]
    if tag & 0x20:
        inner = b"".join(ber(der[c[0]:c[4]]) for c in children(der, start, end))
        return bytes([tag, 0x80]) + inner + b"\x00\x00"
    if tag == 0x04 and end - start > 16:
        content = der[start:end]
        pieces = b"".join(tlv(0x04, content[i:i + 16]) for i in range(0, len(content), 16))
        return bytes([0x24, 0x80]) + pieces + b"\x00\x00"
    return der[0:end]


# Long-term signatures (CAdES-A / B-LTA): what an archive time stamp covers, computed here on
# their own from the DER, so that the verifier's reading is checked against a second one.
ATS_V2 = "1.2.840.113549.1.9.16.2.48"
ATS_V3 = "0.4.0.1733.2.4"
HASH_INDEX_V3 = "0.4.0.19122.1.5"


def signed_data_parts(p7m):
    """(content type element, SignedData fields as elements) of a DER envelope."""
    _, cs, ce, _ = parse(p7m, 0)
    content_type, wrapper = children(p7m, cs, ce)
    signed_data = children(p7m, wrapper[2], wrapper[3])[0]
    return content_type, children(p7m, signed_data[2], signed_data[3])


def with_fields(p7m, fields):
    content_type, _ = signed_data_parts(p7m)
    return tlv(0x30, p7m[content_type[0]:content_type[4]] + tlv(0xA0, tlv(0x30, b"".join(fields))))


def whole(data, element):
    return data[element[0]:element[4]]


def last_signer_fields(p7m):
    """The last signer's fields before its unsigned attributes (as encoded), and its unsigned
    attributes (each whole, with their type and values)."""
    signer = signer_info_path(p7m)[3]
    fields = children(p7m, signer[2], signer[3])
    before = b"".join(whole(p7m, f) for f in fields if f[1] != 0xA1)
    attributes = []
    for f in fields:
        if f[1] == 0xA1:
            for a in children(p7m, f[2], f[3]):
                attr_type, values = children(p7m, a[2], a[3])
                attributes.append((whole(p7m, a), whole(p7m, attr_type),
                                   [whole(p7m, v) for v in children(p7m, values[2], values[3])]))
    return before, attributes


def field_items(p7m, tag):
    """The certificates (tag 0xA0) or CRLs (0xA1) of the SignedData, each whole; and the field."""
    _, fields = signed_data_parts(p7m)
    for f in fields:
        if f[1] == tag:
            return [whole(p7m, c) for c in children(p7m, f[2], f[3])], whole(p7m, f)
    return [], b""


def content_of(p7m):
    _, fields = signed_data_parts(p7m)
    encap = children(p7m, fields[2][2], fields[2][3])
    explicit = children(p7m, encap[1][2], encap[1][3])[0]
    return whole(p7m, encap[0]), p7m[explicit[2]:explicit[3]], whole(p7m, fields[2])


def hash_index(p7m, explicit_algorithm=False):
    """An ATSHashIndexV3 (SHA-256) of the envelope as it is."""
    h = lambda data: tlv(0x04, hashlib.sha256(data).digest())
    certificates, _ = field_items(p7m, 0xA0)
    crls, _ = field_items(p7m, 0xA1)
    _, attributes = last_signer_fields(p7m)
    values = [h(attr_type + value) for _, attr_type, vs in attributes for value in vs]
    algorithm = tlv(0x30, oid("2.16.840.1.101.3.4.2.1")) if explicit_algorithm else b""
    return tlv(0x30, algorithm + tlv(0x30, b"".join(h(c) for c in certificates)) +
               tlv(0x30, b"".join(h(c) for c in crls)) + tlv(0x30, b"".join(values)))


def ats_v3_input(p7m, index):
    content_type, content, _ = content_of(p7m)
    before, _ = last_signer_fields(p7m)
    return content_type + hashlib.sha256(content).digest() + before + index


def ats_v2_input(p7m):
    _, _, encap = content_of(p7m)
    _, certificates = field_items(p7m, 0xA0)
    _, crls = field_items(p7m, 0xA1)
    before, attributes = last_signer_fields(p7m)
    earlier = b"".join(a[0] for a in attributes)
    return encap + certificates + crls + before + (tlv(0xA1, earlier) if earlier else b"")


def add_crl(p7m, crl):
    _, fields = signed_data_parts(p7m)
    out = [whole(p7m, f) for f in fields]
    crls = [i for i, f in enumerate(fields) if f[1] == 0xA1]
    if crls:
        f = fields[crls[0]]
        out[crls[0]] = tlv(0xA1, p7m[f[2]:f[3]] + crl)
    else:
        out.insert(len(out) - 1, tlv(0xA1, crl))
    return with_fields(p7m, out)


def remove_certificate(p7m, certificate):
    _, fields = signed_data_parts(p7m)
    out = []
    for f in fields:
        if f[1] == 0xA0:
            kept = [whole(p7m, c) for c in children(p7m, f[2], f[3]) if whole(p7m, c) != certificate]
            if len(kept) == len(children(p7m, f[2], f[3])):
                raise SystemExit("certificate not in the envelope")
            out.append(tlv(0xA0, b"".join(kept)))
        else:
            out.append(whole(p7m, f))
    return with_fields(p7m, out)


CERT_REFS = "1.2.840.113549.1.9.16.2.21"
REVOCATION_REFS = "1.2.840.113549.1.9.16.2.22"
CERT_VALUES = "1.2.840.113549.1.9.16.2.23"
REVOCATION_VALUES = "1.2.840.113549.1.9.16.2.24"
ESC_TIMESTAMP = "1.2.840.113549.1.9.16.2.25"
CERT_CRL_TIMESTAMP = "1.2.840.113549.1.9.16.2.26"


def cades_x(p7m, certificate, crl, carried):
    """The envelope with the complete references to certificate and crl, and the values carried
    (CAdES-X-L when they are the same)."""
    sha256 = tlv(0x30, oid("2.16.840.1.101.3.4.2.1"))
    other_hash = lambda data: tlv(0x30, sha256 + tlv(0x04, hashlib.sha256(data).digest()))
    p7m = add_unsigned_attribute(p7m, CERT_REFS, tlv(0x30, tlv(0x30, other_hash(certificate))))
    p7m = add_unsigned_attribute(p7m, REVOCATION_REFS,
                                 tlv(0x30, tlv(0x30, tlv(0xA0, tlv(0x30, tlv(0x30, tlv(0x30, other_hash(crl))))))))
    p7m = add_unsigned_attribute(p7m, CERT_VALUES, tlv(0x30, carried))
    return add_unsigned_attribute(p7m, REVOCATION_VALUES, tlv(0x30, tlv(0xA0, tlv(0x30, crl))))


def references_input(p7m, with_signature):
    signer = signer_info_path(p7m)[3]
    _, attributes = last_signer_fields(p7m)
    out = signature_value(p7m) if with_signature else b""
    kinds = ([oid("1.2.840.113549.1.9.16.2.14")] if with_signature else []) + [oid(CERT_REFS), oid(REVOCATION_REFS)]
    for kind in kinds:
        out += b"".join(a[0] for a in attributes if a[1] == kind)
    return out


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    command, *args = sys.argv[1:]
    if command == "tst-info":  # covered when serial out [digest]
        write(args[3], tst_info(read(args[0]), args[1], int(args[2]), *(args[4:5] or ["sha256"])))
    elif command == "signature-value":  # p7m out
        write(args[1], signature_value(read(args[0])))
    elif command == "add-timestamp":  # p7m token out
        write(args[2], add_unsigned_attribute(read(args[0]), "1.2.840.113549.1.9.16.2.14", read(args[1])))
    elif command == "countersign":  # p7m cert.der key out [tamper]
        p7m = read(args[0])
        certificate = read(args[1])
        signer = countersignature(signature_value(p7m), certificate, args[2], len(args) > 4)
        write(args[3], add_unsigned_attribute(add_certificate(p7m, certificate), "1.2.840.113549.1.9.6", signer))
    elif command == "replace-certificates":  # token cert.der out
        write(args[2], replace_certificates(read(args[0]), read(args[1])))
    elif command == "timestamp-and-crl":  # token out
        write(args[1], tlv(0x30, read(args[0])))
    elif command == "meta-data":  # name media protected out
        write(args[3], meta_data(args[0], args[1], args[2] == "yes"))
    elif command == "tsd":  # content meta|- out token...
        meta = None if args[1] == "-" else read(args[1])
        write(args[2], timestamped_data(read(args[0]), meta, [read(t) for t in args[3:]]))
    elif command == "refused-reply":  # out: a TimeStampResp with status rejection, a text, badAlg
        status = tlv(0x02, b"\x02") + tlv(0x30, tlv(0x0C, "richiesta rifiutata".encode())) + tlv(0x03, b"\x07\x80")
        write(args[0], tlv(0x30, tlv(0x30, status)))
    elif command == "ber":  # in out
        write(args[1], ber(read(args[0])))
    elif command == "ats-v3-input":  # p7m index-out input-out [explicit]
        p7m = read(args[0])
        index = hash_index(p7m, len(args) > 3)
        write(args[1], index)
        write(args[2], ats_v3_input(p7m, index))
    elif command == "ats-v2-input":  # p7m input-out
        write(args[1], ats_v2_input(read(args[0])))
    elif command == "tamper-index":  # index out: its last hash changed
        index = bytearray(read(args[0]))
        index[-1] ^= 0x01
        write(args[1], bytes(index))
    elif command == "add-index":  # token index out
        write(args[2], add_unsigned_attribute(read(args[0]), HASH_INDEX_V3, read(args[1])))
    elif command == "add-archive":  # p7m token out v2|v3
        write(args[2], add_unsigned_attribute(read(args[0]), ATS_V3 if args[3] == "v3" else ATS_V2, read(args[1])))
    elif command == "add-certificate":  # p7m cert.der out
        write(args[2], add_certificate(read(args[0]), read(args[1])))
    elif command == "add-crl":  # p7m crl.der out
        write(args[2], add_crl(read(args[0]), read(args[1])))
    elif command == "remove-certificate":  # p7m cert.der out
        write(args[2], remove_certificate(read(args[0]), read(args[1])))
    elif command == "cades-x":  # p7m cert.der crl.der carried-cert.der out
        write(args[4], cades_x(read(args[0]), read(args[1]), read(args[2]), read(args[3])))
    elif command == "esc-input":  # p7m out
        write(args[1], references_input(read(args[0]), True))
    elif command == "references-input":  # p7m out
        write(args[1], references_input(read(args[0]), False))
    elif command == "add-attribute":  # p7m oid value out
        write(args[3], add_unsigned_attribute(read(args[0]), args[1], read(args[2])))
    elif command == "tamper-content":  # p7m out: one byte of the document changed
        p7m = read(args[0])
        _, content, _ = content_of(p7m)
        at = p7m.find(content)
        write(args[1], p7m[:at] + bytes([content[0] ^ 0x20]) + p7m[at + 1:])
    else:
        raise SystemExit("unknown command " + command)
