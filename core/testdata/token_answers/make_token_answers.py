#!/usr/bin/env python3
"""Writes the token and situation answers the token tests seal and post:
each file is a ZIP archive made by Python's zipfile whose entry (normally
"data") holds a TokenResponse encoded by `protoc --encode=risk.TokenResponse`
from the text beside it (or, for the malformed ones, bytes assembled here).
The tests seal the archives with OpenSSL SM4 under the test's key.

Run from the repository root:  python3 core/testdata/token_answers/make_token_answers.py
"""
import io
import os
import subprocess
import zipfile

OUT = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(OUT, "..", "..", ".."))
STAMP = (1980, 1, 1, 0, 0, 0)


def protoc_encode(message, text):
    return subprocess.run(
        ["protoc", "--proto_path=" + ROOT, "--encode=risk." + message, "core/risk.proto"],
        input=text.encode(), capture_output=True, check=True, cwd=ROOT).stdout


def escape(data):
    return "".join("\\%03o" % b for b in data)


def response(command, status, body):
    return protoc_encode("TokenResponse", 'command: %s\nstatus: %s\nbody: "%s"\n'
                         % (command, status, escape(body)))


def payload(ulvok, uuid=None):
    text = 'ulvok: "%s"\n' % ulvok
    if uuid is not None:
        text += 'uuid: "%s"\n' % uuid
    return protoc_encode("TokenPayload", text)


def write_zip(name, content, entry="data"):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        info = zipfile.ZipInfo(entry, date_time=STAMP)
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, content)
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(buf.getvalue())


def main():
    good = payload("svc-token-0001", "6f1c0d2e-9a8b-4c7d-8e6f-5a4b3c2d1e0f")
    write_zip("ok_uuid.zip", response("COMMAND_TOKEN", "STATUS_OK", good))
    write_zip("ok_no_uuid.zip",
              response("COMMAND_TOKEN", "STATUS_OK", payload("svc-token-0002")))
    write_zip("ok_empty_uuid.zip",
              response("COMMAND_TOKEN", "STATUS_OK", payload("svc-token-0003", "")))
    # -1003: the only entry is named "Data"; an empty entry "data".
    write_zip("wrong_entry.zip", response("COMMAND_TOKEN", "STATUS_OK", good), entry="Data")
    write_zip("empty_entry.zip", b"")
    # -1005: not a TokenResponse; status missing (fields 1 and 2 only, by
    # hand: 08 ea 07 = command 1002, 12 len = body); a body that is no
    # TokenPayload (field 2 only, the required field 1 missing).
    write_zip("not_message.zip", b"\xff\xff\xff this is no message")
    write_zip("no_status.zip", b"\x08\xea\x07\x12" + bytes([len(good)]) + good)
    write_zip("bad_payload.zip",
              response("COMMAND_TOKEN", "STATUS_OK", b"\x12\x03abc"))
    # -1006: a failure status, another command, an empty body, an empty token.
    write_zip("status_10001.zip", response("COMMAND_TOKEN", "STATUS_FAILED_10001", good))
    write_zip("command_1001.zip", response("COMMAND_1001", "STATUS_OK", good))
    write_zip("empty_body.zip", response("COMMAND_TOKEN", "STATUS_OK", b""))
    write_zip("empty_token.zip", response("COMMAND_TOKEN", "STATUS_OK", payload("")))
    # -1008: status -10006, whatever the command.
    write_zip("status_10006.zip", response("COMMAND_1001", "STATUS_FAILED_10006", b""))
    # The situation service's answer: any text in the entry "data".
    write_zip("situation_answer.zip", b'{"level": "calm", "next": 600}')


if __name__ == "__main__":
    main()
