#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<name>/.

Run from anywhere: python3 fuzz/make_corpus.py
Deterministic (fixed random seed), so running it again changes nothing.
Seeds are starting points for the fuzzer, not known answers: each target
checks its own properties on whatever input it gets.
"""
import base64
import io
import os
import random
import shutil
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
rng = random.Random(20240611)


def rand_bytes(n):
    return bytes(rng.randrange(256) for _ in range(n))


def varint(value):
    if value < 0:
        value += 1 << 64  # protocol buffers sign-extend negative enums to ten bytes
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field_varint(number, value):
    return varint(number << 3) + varint(value)


def field_bytes(number, data):
    return varint((number << 3) | 2) + varint(len(data)) + data


def token_payload(ulvok, uuid=None):
    out = field_bytes(1, ulvok)
    if uuid is not None:
        out += field_bytes(2, uuid)
    return out


def token_response(command, body, status):
    return field_varint(1, command) + field_bytes(2, body) + field_varint(3, status)


def zip_archive(entries, method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=method) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = method
            archive.writestr(info, data)
    return buf.getvalue()


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    for target in os.listdir(ROOT) if os.path.isdir(ROOT) else []:
        shutil.rmtree(os.path.join(ROOT, target))

    # base64_decode: the text itself.
    for name, text in [("one_byte", b"QQ=="), ("two_bytes", b"QUI="), ("three_bytes", b"QUJD"),
                       ("inner_padding", b"QQ==QUJD"), ("only_padding", b"===="),
                       ("url_alphabet", b"a-b_"), ("line_break", b"QUJD\nQUJD"),
                       ("odd_length", b"QUJDR"),
                       ("long", base64.b64encode(rand_bytes(90)))]:
        write("base64_decode", name, text)

    # json_parse: the text itself.
    for name, text in [
            ("object", b'{"a": "1", "b": "2"}'),
            ("numbers", b"[0, -0, 1700000000000, 123456789012345678, 1234567890123456789, "
                        b"0.1, -2.5e-3, 1e999, -0.0]"),
            ("strings", b'["x\\ty", "\\u0001", "\\u2028", "\\ud83d\\ude00", "\\/", "\xc3\xa9\x7f"]'),
            ("nested", b'{"a": {"b": [true, false, null, {}, []]}, "c": ""}'),
            ("deep", b"[" * 200 + b"]" * 200),
            ("duplicate_key", b'{"k": 1, "k": 2}'),
            ("comment", b"// x\n1"),
            ("trailing_comma", b"[1,]")]:
        write("json_parse", name, text)

    # block_cipher: selector byte (0-2 AES-128/192/256, 3 SM4, 4 XXTEA), key, data.
    write("block_cipher", "aes128", b"\x00" + rand_bytes(16) + rand_bytes(32))
    write("block_cipher", "aes192", b"\x01" + rand_bytes(24) + rand_bytes(16))
    write("block_cipher", "aes256", b"\x02" + rand_bytes(32) + rand_bytes(48))
    write("block_cipher", "sm4", b"\x03" + rand_bytes(16) + rand_bytes(32))
    write("block_cipher", "sm4_partial_block", b"\x03" + rand_bytes(16) + rand_bytes(20))
    key_text = b"%040x" % rng.getrandbits(160)
    write("block_cipher", "xxtea", b"\x04" + bytes([len(key_text)]) + key_text + rand_bytes(24))
    write("block_cipher", "xxtea_short_key", b"\x04\x05" + b"k\x00eyx" + rand_bytes(9))

    # unpack_archive: the archive itself.
    payload = token_response(1002, token_payload(b"token-1", b"uuid-1"), 0)
    write("unpack_archive", "deflated", zip_archive([("data", payload)]))
    write("unpack_archive", "stored", zip_archive([("data", b"stored payload")], zipfile.ZIP_STORED))
    write("unpack_archive", "capital_name", zip_archive([("Data", payload)]))
    write("unpack_archive", "two_entries", zip_archive([("other", b"x" * 40), ("data", payload)]))
    write("unpack_archive", "empty_entry", zip_archive([("data", b"")]))
    write("unpack_archive", "not_an_archive", b"PK\x03\x04" + rand_bytes(40))

    # post_request: behaviour byte (bit 0 legacy, bits 1-2 mode, bit 3 no
    # response), then the body, archive, TokenResponse or TokenPayload.
    good = token_response(1002, token_payload(b"token-1"), 0)
    for scheme in (0, 1):
        write("post_request", "raw_body_%d" % scheme, bytes([scheme]) + rand_bytes(48))
        write("post_request", "sealed_archive_%d" % scheme,
              bytes([scheme | 2]) + zip_archive([("data", good)]))
        write("post_request", "sealed_response_%d" % scheme, bytes([scheme | 4]) + good)
        write("post_request", "sealed_payload_%d" % scheme,
              bytes([scheme | 6]) + token_payload(b"token-2", b"uuid-2"))
    write("post_request", "refused", b"\x04" + token_response(1002, b"", -10006))
    write("post_request", "wrong_command", b"\x05" + token_response(1001, token_payload(b"t"), 0))
    write("post_request", "no_status", b"\x04" + field_varint(1, 1002) + field_bytes(2, b"x"))
    write("post_request", "no_response", b"\x08")

    # sdk_property: name length, name, stored text.
    for name, stored in [(b"Scene", base64.b64encode(rand_bytes(32))),
                         (b"k", b""), (b"SITUATION_UP_TIME", b"not base64!"),
                         (b"07d93b6c2ea148f5b9c60e7d3a2f814c", base64.b64encode(rand_bytes(16)))]:
        write("sdk_property", name.decode(), bytes([len(name)]) + name + stored)

    # line_reader: the file contents.
    write("line_reader", "cr_lf_mix", b"a\r\nb\rc")
    write("line_reader", "one_line_feed", b"\n")
    write("line_reader", "meminfo", b"MemTotal:   8048576 kB\nNoColon\nEmpty:\n : \nA:b:c\n")
    write("line_reader", "long_line", b"y" * 5000 + b"\nnext\n")
    write("line_reader", "cr_at_read_end", b"ab\n" + b"x" * 3996 + b"\r\ntail")
    write("line_reader", "zero_bytes", b"a\x00b\nc\x00\n")

    # merge_json_object: the text itself.
    for name, text in [("members", b'{"a": "x", "b": 1, "c": "null", "d": ""}'),
                       ("replace", b'{"K1": "new", "": "v"}'), ("array", b'["a"]'),
                       ("null", b"null"), ("invalid", b'{"a": ')]:
        write("merge_json_object", name, text)

    # skip_list: form byte (bit 0 sealed here, bit 1 timeout after a zero
    # byte), then the list or the "PRIVATE_BLACK" text.
    write("skip_list", "sealed_two", b"\x01mem_info|fonts_hash")
    write("skip_list", "sealed_edges", b"\x01|device_info||unknown|")
    write("skip_list", "sealed_timeout_zero", b"\x03cpu_info\x000")
    write("skip_list", "raw_not_base64", b"\x02junk-_\x00-5")
    write("skip_list", "raw_base64", b"\x00" + base64.b64encode(rand_bytes(32)))
    write("skip_list", "timeout_text", b"\x03\x00  12abc")


if __name__ == "__main__":
    main()
