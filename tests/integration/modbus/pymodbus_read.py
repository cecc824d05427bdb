"""Reads register pairs from a Modbus TCP server with pymodbus and prints one decoded
value per line: the low word at the address, the high word after it.

usage: pymodbus_read.py PORT REGISTER:TYPE ...   (REGISTER 1-based, TYPE FLOAT32|INT32|BOOL32|UINT16)
"""
import struct
import sys

from pymodbus.client import ModbusTcpClient


def main():
    port = int(sys.argv[1])
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=10)
    if not client.connect():
        print("cannot connect")
        return 1
    for item in sys.argv[2:]:
        register, kind = item.split(":")
        count = 1 if kind == "UINT16" else 2
        r = client.read_holding_registers(int(register) - 1, count, slave=1)
        if r.isError():
            print("error", r)
            continue
        if kind == "UINT16":
            print(r.registers[0])
            continue
        raw = struct.pack(">HH", r.registers[1], r.registers[0])
        print(repr(struct.unpack(">f" if kind == "FLOAT32" else ">i", raw)[0]))
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
