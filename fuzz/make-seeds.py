#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets (fuzz/corpus/<target>/) from bus transcripts of the
test suites. An input is the target's setup bytes followed by records (see fuzzharness.h): a frame
on the target's n-th identifier, a time step, or a frame handed to the adapter directly."""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))


def frame(hexbytes, n=0, fd=False):
    data = bytes.fromhex(hexbytes.replace(' ', ''))
    return bytes([(n << 2) | (0x40 if fd else 0), len(data)]) + data


def wait():
    return bytes([2])


def raw(hexbytes, n=0):
    data = bytes.fromhex(hexbytes.replace(' ', ''))
    return bytes([(n << 2) | 3, len(data)]) + data


def seq(setup, *records):
    return bytes.fromhex(setup) + b''.join(records)


SEEDS = {
    'sdo_expedited': {
        'upload-u32': seq('06', frame('4318100178010000')),
        'upload-abort': seq('06', frame('8018100100000206')),
        'download-u32': seq('86' + '78563412', frame('6000200100000000')),
        'upload-timeout': seq('06', wait(), frame('4318100178010000')),
        'upload-u8': seq('04', frame('4f18100105000000')),
    },
    'sdo_segmented': {
        'upload-9': seq('00', frame('4108100009000000'), frame('0041424344454647'), frame('1b48490000000000')),
        'upload-expedited': seq('00', frame('4300200001020304')),
        'upload-nosize': seq('00', frame('4008100000000000'), frame('0141424344454647')),
        'download-10': seq('8a', frame('6000200000000000'), frame('2000000000000000'), frame('3000000000000000')),
        'download-abort': seq('8a', frame('8000200000000206')),
        'download-fast': seq('c2' + '1e', frame('6000200000000000'), wait(), frame('2000000000000000'),
                             frame('3000000000000000'), frame('2000000000000000')),
        'upload-huge-size': seq('00', frame('41081000ffffff1f'), frame('0041424344454647')),
        'upload-toggle': seq('00', frame('4108100009000000'), frame('1041424344454647')),
    },
    'sdo_block': {
        # initiate answer (size 10), a block of two segments, end answer
        'upload-10': seq('04', frame('c60020010a000000'), frame('0141424344454647'),
                         frame('8248494a00000000'), frame('c900000000000000')),
        'upload-huge-size': seq('04', frame('c6002001ffffff1f'), frame('0141424344454647')),
        'download-10': seq('8a0a00', frame('a400200104000000'), frame('a202040000000000'),
                           frame('a100000000000000')),
        'abort': seq('04', frame('8000200100000206')),
    },
    'sdo_facade': {
        'read-u32': seq('02', frame('4318100178010000')),
        'read-string': seq('04', frame('4118100103000000'), frame('0b41424300000000')),
        'routed-read': seq('42' + '01', frame('e002000500000000', 1), frame('4318100178010000', 1)),
        'routed-abort': seq('42' + '01', frame('80020005010000a0', 1)),
        'write-u32': seq('82' + '04' + '01020304', frame('6000200100000000')),
    },
    'nmt_supervision': {
        'heartbeat': seq('00' + '64', frame('00'), frame('05'), wait(), frame('05'), frame('7f'), wait(), wait()),
        'guarding': seq('01' + '64' + '03', wait(), frame('85'), wait(), frame('05'), wait(), frame('85'), wait()),
        'guarding-toggle-error': seq('01' + '32' + '02', wait(), frame('85'), wait(), frame('85')),
        'bootup-start': seq('02' + '64', frame('00'), frame('05'), wait()),
    },
    'emcy_consumer': {
        'emcy': seq('', frame('1050010000000000'), frame('0000000000000000')),
        'short': seq('', frame('1050'), raw('1050010203040506070809')),
    },
    'gateway_lines': {
        'emcy': seq('00', b'EMCY 5 0x1000 0x01 0x0102030405\nemcy 5 1000 1 0'),
        'sdo-value': seq('00', b'[1] 0x00000178\n[2] OK\n[3] ERROR: 0x06020000'),
        'lss': seq('01', b'[1] 5\n[2] OK\n[3] ERROR: 100'),
        'base64': seq('80', b'[1] SGVsbG8gd29ybGQ=\n[1] OK'),
    },
    'lss_master': {
        'configure-node-id': seq('02' + '05000000' + '00000000', frame('1100000000000000')),
        'configure-error': seq('02' + '05000000' + '00000000', frame('1101000000000000')),
        'inquire': seq('05' + '00' * 8, frame('5e07000000000000')),
        'store': seq('03' + '00' * 8, frame('1700000000000000')),
        'selective': seq('01' + '00' * 16, wait(), wait(), wait(), frame('4400000000000000')),
        'identify': seq('04' + '00' * 8, frame('5000000000000000'), frame('5000000000000000')),
        'fastscan': seq('08' + '00' * 16, frame('4f00000000000000'), wait(), frame('4f00000000000000'),
                        frame('4f00000000000000'), wait(), frame('4f00000000000000')),
        'classical': seq('0a' + '00' * 8, frame('4f00000000000000'), wait(), frame('4f00000000000000'), wait()),
        'bit-timing': seq('07' + '01000000' + '02000000', frame('1300000000000000')),
    },
    'scanner': {
        'node1': seq('00', frame('4300100092010000'), frame('4318100178010000'), frame('4318100202000000'),
                     frame('4318100303000000'), frame('4318100404000000'), wait(), wait()),
        'pdos': seq('01', frame('4300100092010000'), frame('4318100178010000'), frame('4318100202000000'),
                    frame('4318100303000000'), frame('4318100404000000'), frame('4f00140102000000'),
                    frame('4300140101020000'), wait(), wait()),
    },
    'isotp_receive': {
        'single': seq('00', frame('0462f19041000000')),
        'multi': seq('00', frame('100a62f190414243'), frame('2144454647000000')),
        'fd-single': seq('01', frame('00' + '0c' + '62f190' + '41' * 9, fd=True)),
        'first-4g': seq('00', frame('1000ffffffff62f1'), frame('2141424344454647')),
        'ext': seq('02', frame('f10462f190410000')),
    },
    'isotp_transmit': {
        'flow': seq('00' + '1400', frame('3000000000000000'), frame('3000000000000000')),
        'block': seq('04' + '3000', frame('3002050000000000'), frame('3002050000000000'),
                     frame('0262f10000000000')),
        'wait-overflow': seq('00' + '2000', frame('3100000000000000'), frame('3200000000000000')),
        'fd': seq('01' + '0002', frame('3000000000000000', fd=True)),
    },
    'uds_client': {
        'session': seq('00' + '03', frame('065003003201f400')),
        'pending': seq('00' + '03', frame('037f107800000000'), frame('065003003201f400')),
        'negative': seq('00' + '03', frame('037f101200000000')),
        'rdbi-multi': seq('01' + '90f1', frame('101462f190414243'), frame('2144454647484950'), frame('2251525354555657')),
        'download': seq('04' + '00010000', frame('0474200100000000')),
        'upload': seq('05' + '00010000', frame('0475200100000000')),
    },
    'uds_authentication': {
        'deauth': seq('00' + '00', frame('03690010000000')),
        'challenge': seq('05' + '00', frame('101569050000' + '01'), frame('21' + '00' * 7), frame('22' + '00' * 7)),
        'config': seq('08' + '00', frame('0369080200000000')),
        'negative': seq('00' + '00', frame('037f293500000000')),
    },
    'uds_file_transfer': {
        'upload': seq('00' + '0400', frame('0475200100000000'), frame('0676010102030400'), frame('037700000000000000'[:16])),
        'download': seq('01' + '0000' + '0001', frame('0474200100000000'), frame('0276010000000000'), wait(),
                        frame('0276020000000000'), frame('0177000000000000')),
    },
    'usdo_client': {
        # setup: request (0 expedited read, 1 write, 2 segmented read, 3 write; 0x80 broadcast), type
        'read-u32': seq('00' + '02', frame('2931000000200704' + '78010000', fd=True)),
        'write-u32': seq('01' + '02' + '78563412', frame('2921000000200000', fd=True)),
        'broadcast-read': seq('80' + '02', frame('2931000000200704' + '78010000', fd=True),
                              frame('2931000000200704' + '05000000', 2, fd=True), wait()),
        'upload-61': seq('02' + '08', frame('2932000000200f003d000000', fd=True),
                         frame('29330000' + '61' * 60, fd=True), frame('2934000161', fd=True)),
        'upload-expedited': seq('02' + '08', frame('2931000000200f03616263' + '00', fd=True)),
        'upload-huge-size': seq('02' + '08', frame('2932000000200f00ffffff1f', fd=True),
                                frame('29330000' + '61' * 60, fd=True)),
        'download-61': seq('03' + '08' + '3d00', frame('2922000000200000', fd=True), frame('29230000', fd=True),
                           frame('29240000', fd=True)),
        'download-abort': seq('03' + '08' + '3d00', frame('2922000000200000', fd=True),
                              frame('297f0000002037', fd=True)),
    },
    'usdo_bulk': {
        'download-150': seq('9600', frame('29260101501f0000', fd=True), wait(), frame('29280100', fd=True)),
        'download-60': seq('3c00', frame('29260101501f0000', fd=True), frame('29280100', fd=True)),
        'abort': seq('9600', frame('29260101501f0000', fd=True), frame('29ff0101501f12', fd=True)),
        'other-counter': seq('9600', frame('29260101501f0000', fd=True), frame('29280200', fd=True), wait()),
    },
    'gateway_sdo_lss': {
        # setup (LSS request), SDO pick (type; 0x80 write), texts separated by NUL
        'read-u32': seq('05' + '03', b'[1] 0x00000178\x00[2] 5'),
        'write-u32': seq('03' + '83' + '78010000', b'[1] OK\x00[2] ERROR: 100'),
        'domain-lines': seq('03' + '0a', b'[1] SGVsbG8s\x00IHdvcmxk\x00\x00[2] OK'),
        'domain-one-text': seq('02' + '0a', b'[1] SGVsbG8s\nIHdvcmxkIQ==\n\x00[2] OK'),
        'string': seq('01' + '08', b'[7] 99\x00[1] "say ""hi"""\x00\x00'),
        'error': seq('07' + '06', b'[1] ERROR:0x06020000 #Object does not exist.\x00[2] ERROR: 0x01'),
    },
    'lssfd_manager': {
        # setup (request, window), two address values, then answers on 0x7E4 (n 0) or 0x7Dx
        'inquire-address': seq('07' + '00' * 8, frame('8700000091010f00b104000001f140007f002c1a', fd=True)),
        'inquire-node-id': seq('06' + '00' * 8, frame('9705010702')),
        'store-error': seq('05' + '00' * 8, frame('850102')),
        'node-id': seq('02' + '05000000' + '01000000', frame('8300')),
        'bit-timing': seq('03' + '00' * 8, frame('9301ff')),
        'identify': seq('08' + '00' * 8, frame('8a')),
        'selective': seq('4e' + '00' * 16 + '0f', frame('')),
        'scan-confirm': seq('15' + '00' * 16 + '20', frame('')),
        'scan-steps': seq('15' + '00' * 16 + '1e', frame('', 3), wait(), frame('', 1), wait(), frame('')),
        'scan': seq('14' + '00' * 8, frame('', 2), wait(), frame('', 1), wait(), wait()),
    },
}


def main():
    for target, seeds in SEEDS.items():
        folder = os.path.join(here, 'corpus', target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main())
