#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/: real-looking settings
files, captured handset frames, text in GBK, UTF-8 and UTF-16, and dumps.
Run from anywhere; the files are committed, so this runs only to change them."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# --- profile_fuzz: INI files as they are found on the line -------------------
STAMPWELL = (b"[General]\r\nIMEI=1\r\nIMEI2=1\r\nIMEI3=0\r\nAutoCreateIMEI=1\r\n"
             b"AutoCreateIMEIFromIMEI1=0\r\nUseSameIMEI=0\r\nPhaseCheck=0\r\nBT_ADDR=1\r\n"
             b"AutoGenerateBT_ADDR=1\r\nPort=-1\r\nDefaultIMEI=35693803000000\r\n"
             b"[Control]\r\nOrvanNew=1\r\nTimeout=30000\r\nModeWait = 2000 \r\n")
CHANNEL = (b"; Channel settings\n[Settings]\nDebugMode=1\nDebugDetailMode=0\nLogMode=1\n"
           b"UseMempool=1\nCommQueueSize=0x1000\n\n[CommTimeouts]\n"
           b"ReadIntervalTimeout=0xFFFFFFFF\nReadTotalTimeoutMultiplier=0\n"
           b"ReadTotalTimeoutConstant=0\nWriteTotalTimeoutMultiplier=0\n"
           b"WriteTotalTimeoutConstant=5000\n")
ERRORCODE = ("[Database]\r\nName=\u9519\u8bef\u4ee3\u7801.mdb\r\nPassword=\"ab_cd\"\r\n"
             "[\u8bbe\u7f6e]\r\n\u540d\u79f0 = '\u7ad9\u70b9 1' \r\n").encode("gbk")
write("profile_fuzz", "stampwell.ini", STAMPWELL)
write("profile_fuzz", "channel.ini", CHANNEL)
write("profile_fuzz", "errorcode_gbk.ini", ERRORCODE)
write("profile_fuzz", "bom_utf8.ini", b"\xef\xbb\xbf[Settings]\r\nLogMode=0\r\n")
write("profile_fuzz", "odd.ini",
      b"  [ general ] trailing\r\nimei = \" 1 \"\r\nIMEI=2\r\n=novalue\r\n[general]\r\n"
      b"x='y\r\n[]\r\nempty=\r\nlast=no line end")
write("profile_fuzz", "cut.ini", STAMPWELL[:57])

# --- frames: CRC-16/CCITT, A5 5A | len | cmd | seq | payload | crc -----------


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def frame(cmd, seq, payload=b""):
    body = struct.pack("<HBH", len(payload), cmd, seq) + payload
    return b"\xa5\x5a" + body + struct.pack("<H", crc16(body))


def record():
    def text(s, n):
        return s.encode() + b"\0" * (n - len(s))
    return (struct.pack("<iiii", 1, 1, 0, 1) + text("356938035643809", 16) +
            text("356938035643817", 16) + text("", 16) + text("0A1B2C3D4E5F", 13) +
            b"\0" * (156 - 16 - 16 * 3 - 13))


NOISE = b"\x00\xff\x13\x11AT\r\n"
HELLO_REPLY = frame(0x81, 7, struct.pack("<HB", 0, 10) + b"SIM-000001".ljust(16, b"\0"))
damaged = bytearray(frame(0x82, 8, b"\0\0"))
damaged[-1] ^= 0x5A
replies = {
    "hello_reply": HELLO_REPLY,
    "mode_reply": frame(0x82, 8, b"\0\0"),
    "write_refused": frame(0x83, 9, struct.pack("<H", 23)),
    "read_reply": frame(0x85, 10, b"\0\0" + b"356938035643809\0"),
    "end_reply": frame(0x86, 11, b"\0\0"),
    "noisy_reply": NOISE + bytes(damaged) + b"\xa5\x5a\xff\x01" + frame(0x82, 8, b"\0\0"),
    "two_replies": frame(0x82, 12, b"\0\0") + frame(0x83, 13, b"\0\0"),
}
for i, (name, data) in enumerate(replies.items()):
    write("station_frames_fuzz", name, bytes([i * 37 & 0xFF]) + data)
requests = {
    "hello": frame(0x01, 1),
    "enter_mode": frame(0x02, 2, struct.pack("<I", 10)),
    "nv_write_direct": frame(0x03, 3, record()),
    "nv_write_fast": frame(0x04, 4, record()),
    "nv_read": frame(0x05, 5, struct.pack("<H", 1)),
    "end_test": frame(0x06, 6),
    "probes_then_write": frame(0x01, 1) * 3 + frame(0x02, 2, struct.pack("<I", 10)) +
    frame(0x04, 3, record()),
    "echo_and_noise": NOISE + frame(0x01, 9)[:5] + frame(0x01, 10),
}
for i, (name, data) in enumerate(requests.items()):
    write("handset_frames_fuzz", name, bytes([i * 53 & 0xFF]) + data)

# --- codepage_fuzz: mode byte (bit 0 UTF-8, 1 strict, 2 terminated, 3 32-bit
# units, 4 through CP_ACP), salt byte, then the text -------------------------
GBK_TEXT = "\u9519\u8bef: \u7aef\u53e3 COM3 \u6253\u5f00\u5931\u8d25".encode("gbk")
UTF8_TEXT = "\u9519\u8bef: \u7aef\u53e3 COM3 \u2603 \U0001F600".encode("utf-8")
write("codepage_fuzz", "gbk_strict", bytes([0x02, 5]) + GBK_TEXT)
write("codepage_fuzz", "gbk_terminated_acp", bytes([0x14, 9]) + GBK_TEXT + b"\0tail")
write("codepage_fuzz", "gbk_cut_lead", bytes([0x00, 3]) + GBK_TEXT[:-1])
write("codepage_fuzz", "utf8_strict", bytes([0x03, 7]) + UTF8_TEXT)
write("codepage_fuzz", "utf8_invalid", bytes([0x01, 2]) + b"a\x80\xc0\xafb\xed\xa0\x80\xf4\x90")
write("codepage_fuzz", "utf16_units",
      bytes([0x05, 4]) + "\u9519\u8bef".encode("utf-16-le") + b"\x00\xd8\x41\x00")
write("codepage_fuzz", "utf32_units",
      bytes([0x08, 1]) + struct.pack("<4I", 0x41, 0x1F600, 0x110000, 0xFFFFFFFF))

# --- dump_fuzz: bytes per line, option bits (1 timestamp, 2 offset, 4 chars,
# direction in bits 3..), then the data ---------------------------------------
write("dump_fuzz", "defaults_20_bytes", bytes([16, 0x07 | (1 << 3)]) + bytes(range(0x70, 0x84)))
write("dump_fuzz", "hello_reply_8_per_line", bytes([8, 0x07]) + HELLO_REPLY)
write("dump_fuzz", "bare_auto_read", bytes([17, 2 << 3]) + b"\x7f\x80\x0a \x20~")
write("dump_fuzz", "empty", bytes([0, 0x07]))
write("dump_fuzz", "record_direction_7", bytes([3, 0x05 | (4 << 3)]) + record())


# --- csv_import_fuzz: table number, then a CSV file's bytes (GBK, CR LF) -----
# Tables: 0 error codes 2, 1 interfaces 5 (unique keys), 2 modules (unique),
# 3 solution lists 3, 4 solution index 5 (unique), 5 a path naming error
# codes 5, 6..8 table texts the import refuses.
def sample(name):
    with open(os.path.join(HERE, "..", "faultreader", "data", name + ".csv"), "rb") as f:
        return f.read()


write("csv_import_fuzz", "error_codes_2", b"\x00" + sample("错误代码索引表2"))
write("csv_import_fuzz", "interfaces_5", b"\x01" + sample("接口索引表5"))
write("csv_import_fuzz", "modules", b"\x02" + sample("模块索引表"))
write("csv_import_fuzz", "solution_lists_3", b"\x03" + sample("解决方法清单3"))
write("csv_import_fuzz", "solution_index_5", b"\x04" + sample("解决方法索引表5"))
write("csv_import_fuzz", "quoted_values",
      b"\x05" + "1,\"写入超时，\r\n手机无应答\"\r\n7,\"他说\"\"好\"\"\",x\r\n8,\"\"\"\r\n".encode("gbk"))
write("csv_import_fuzz", "duplicate_key", b"\x01" + "1,打开串口\r\n1,再次打开\r\n".encode("gbk"))
write("csv_import_fuzz", "empty_quoted", b"\x00" + b"1,ok\n2,\"\"\n")
write("csv_import_fuzz", "no_module", b"\x06" + sample("错误代码索引表3"))
write("csv_import_fuzz", "runs_of_commas", b"\x03" + b",,4,,1;2,,extra\r\n5\r\n,6,3;\n\n 9 ,7")

# --- error_words_fuzz: count (0..3), then words, little endian ---------------
def word(module, interface, error, cont):
    return (module << 26) | (interface << 11) | (int(cont) << 10) | error


def words(count, *ws):
    return bytes([count]) + b"".join(struct.pack("<I", w) for w in ws)


write("error_words_fuzz", "one_word", words(1, 0x14001C07))
write("error_words_fuzz", "two_continued", words(2, word(5, 3, 7, True), word(2, 1, 1, False)))
write("error_words_fuzz", "stop_after_first", words(2, word(3, 2, 5, False), word(5, 1, 1, False)))
write("error_words_fuzz", "unknown_module", words(2, word(9, 1, 1, True), word(5, 4, 9, False)))
write("error_words_fuzz", "missing_texts", words(1, word(5, 7, 3, False)))
write("error_words_fuzz", "zero_and_no_error", words(2, 0, word(2, 1, 0, True)))
write("error_words_fuzz", "three_words", words(3, word(5, 1, 1, True), word(5, 2, 8, True),
                                                word(3, 1, 4, False)))
