{ Norvat.pas against libNorvat.so and an in-process umockdev test bed (the devices of
  tests/bindings/devices.umockdev, named by NORVAT_TEST_DEVICES), run under umockdev-wrapper;
  beside a network printer when NORVAT_TEST_PRINTER names one. The test reads and writes each
  device's end itself, and answers LPGETSTATUS and TIOCMGET as the drivers would.
  One line per case, "ok NAME" or "FAIL NAME: why"; the exit status is the number of failures.
  With --without-library it is run where the library cannot be found, and checks that it starts
  and says so. }
program norvat_test;

{$MODE DELPHI}

uses
  cthreads, BaseUnix, Classes, SysUtils, Process, Norvat;

const
  LabelListing = 'Label printer front desk#LBL0042'; { /dev/usb/lp0 }
  ReceiptSerial = 'RP80A001';                        { /dev/usb/lp2, 04b8:0202, ESC/POS }
  LPGETSTATUS = $060B;
  TIOCMGET = $5415;

{ The in-process test bed (libumockdev). }
function umockdev_testbed_new: Pointer; cdecl; external 'umockdev';
function umockdev_in_mock_environment: LongBool; cdecl; external 'umockdev';
function umockdev_testbed_add_from_file(bed: Pointer; path: PAnsiChar; error: Pointer): LongBool; cdecl; external 'umockdev';
function umockdev_testbed_get_dev_fd(bed: Pointer; node: PAnsiChar): LongInt; cdecl; external 'umockdev';
procedure umockdev_testbed_remove_device(bed: Pointer; path: PAnsiChar); cdecl; external 'umockdev';
function umockdev_testbed_attach_ioctl(bed: Pointer; node: PAnsiChar; handler, error: Pointer): LongBool; cdecl; external 'umockdev';
function umockdev_ioctl_base_new: Pointer; cdecl; external 'umockdev';
function umockdev_ioctl_client_get_request(client: Pointer): PtrUInt; cdecl; external 'umockdev';
function umockdev_ioctl_client_get_arg(client: Pointer): Pointer; cdecl; external 'umockdev';
function umockdev_ioctl_data_resolve(data: Pointer; offset, len: PtrUInt; error: Pointer): Pointer; cdecl; external 'umockdev';
procedure umockdev_ioctl_data_update(data: Pointer; offset: PtrUInt; bytes: Pointer; len: LongInt); cdecl; external 'umockdev';
function umockdev_ioctl_client_execute(client: Pointer; error: PLongInt; failure: Pointer): LongInt; cdecl; external 'umockdev';
procedure umockdev_ioctl_client_complete(client: Pointer; result: PtrInt; error: LongInt); cdecl; external 'umockdev';
function g_signal_connect_data(instance: Pointer; signal: PAnsiChar; handler, data, destroy: Pointer; flags: LongInt): PtrUInt; cdecl; external 'gobject-2.0';
procedure g_object_unref(instance: Pointer); cdecl; external 'gobject-2.0';

var
  failures: Integer = 0;
  bed: Pointer;
  PrinterStatus: LongInt = $18;
  ModemLines: LongInt = 0;
  labelEnd, receiptEnd, serialEnd: cint;
  labelPort, receipt, serial: TNorvatPort;
  network: string;

{ The drivers' answers; every other request goes to the pty. Runs on umockdev's thread: no RTL. }
function OnIoctl(handler, client, user: Pointer): LongInt; cdecl;
var
  request: PtrUInt;
  data: Pointer;
  value, error, done: LongInt;
begin
  request := umockdev_ioctl_client_get_request(client);
  if (request = LPGETSTATUS) or (request = TIOCMGET) then
  begin
    data := umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, 4, nil);
    if request = LPGETSTATUS then value := PrinterStatus else value := ModemLines;
    if data <> nil then
    begin
      umockdev_ioctl_data_update(data, 0, @value, 4);
      umockdev_ioctl_client_complete(client, 0, 0);
    end
    else
      umockdev_ioctl_client_complete(client, -1, ESysEFAULT);
  end
  else
  begin
    error := 0;
    done := umockdev_ioctl_client_execute(client, @error, nil);
    umockdev_ioctl_client_complete(client, done, error);
  end;
  Result := 1;
end;

procedure StartTestbed;
var
  node: PAnsiChar;
  handler: Pointer;
begin
  bed := umockdev_testbed_new;
  { Asked only after the bed exists: umockdev answers this once and keeps the answer. }
  if not umockdev_in_mock_environment then
    raise Exception.Create('not under umockdev-wrapper: refusing to touch the machine''s real ports');
  if not umockdev_testbed_add_from_file(bed, PAnsiChar(AnsiString(GetEnvironmentVariable('NORVAT_TEST_DEVICES'))), nil) then
    raise Exception.Create('umockdev refused NORVAT_TEST_DEVICES');
  for node in [PAnsiChar('/dev/usb/lp2'), PAnsiChar('/dev/ttyS0')] do
  begin
    handler := umockdev_ioctl_base_new;
    g_signal_connect_data(handler, 'handle-ioctl', @OnIoctl, nil, nil, 0);
    if not umockdev_testbed_attach_ioctl(bed, node, handler, nil) then
      raise Exception.Create('umockdev refused the ioctl handler');
  end;
  labelEnd := umockdev_testbed_get_dev_fd(bed, '/dev/usb/lp0');
  receiptEnd := umockdev_testbed_get_dev_fd(bed, '/dev/usb/lp2');
  serialEnd := umockdev_testbed_get_dev_fd(bed, '/dev/ttyS0');
end;

{ Up to Size bytes from a device end, waiting at most TimeoutMs for the next of them. }
function Receive(fd: cint; Size, TimeoutMs: Integer): AnsiString;
var
  ready: pollfd;
  chunk: array[0..4095] of AnsiChar;
  n: ssize_t;
  got: AnsiString;
begin
  Result := '';
  ready.fd := fd;
  ready.events := POLLIN;
  while (Length(Result) < Size) and (FpPoll(@ready, 1, TimeoutMs) > 0) do
  begin
    n := FpRead(fd, chunk, Size - Length(Result));
    if n <= 0 then
      Break;
    SetString(got, PAnsiChar(@chunk[0]), n);
    Result := Result + got;
  end;
end;

procedure Send(fd: cint; const Bytes: AnsiString);
begin
  FpWrite(fd, Bytes[1], Length(Bytes));
end;

procedure Report(const name, why: string);
begin
  if why = '' then
    Writeln('ok ', name)
  else
  begin
    Inc(failures);
    Writeln('FAIL ', name, ': ', why);
  end;
end;

function Shown(const s: AnsiString): string;
var
  i: Integer;
begin
  Result := '';
  for i := 1 to Length(s) do
    Result := Result + IntToHex(Ord(s[i]), 2) + ' ';
end;

{ '' when the bytes went out and the answer came back exactly, else what went wrong. }
function RoundTrip(port: TNorvatPort; fd: cint; const output, answer: AnsiString): string;
var
  got: AnsiString;
begin
  Result := '';
  if port.Write(output) <> Length(output) then
    Exit(port.Name + ': write count');
  got := Receive(fd, Length(output), 2000);
  if got <> output then
    Exit(port.Name + ' got ' + Shown(got));
  Send(fd, answer);
  got := port.Read;
  if got <> answer then
    Result := port.Name + ' read ' + Shown(got);
end;

{ What Action raised: its class, and for ENorvatError ':Code:NativeCode'. }
type
  TAction = procedure;

function Raised(Action: TAction): string;
begin
  Result := 'nothing';
  try
    Action;
  except
    on e: ENorvatError do
      Result := e.ClassName + ':' + IntToStr(e.Code) + ':' + IntToStr(e.NativeCode);
    on e: Exception do
      Result := e.ClassName;
  end;
end;

{ Raised(Action) unless it starts with Expected. }
function Unless(Action: TAction; const Expected: string): string;
begin
  Result := Raised(Action);
  if Copy(Result, 1, Length(Expected)) = Expected then
    Result := ''
  else
    Result := ' raised ' + Result + ', wanted ' + Expected;
end;

type
  { A thread that calls Cancel on a port after 200 ms, or answers ESC/POS requests. }
  THelper = class(TThread)
    Answers: AnsiString;
    Requests: AnsiString;
    procedure Execute; override;
  end;

procedure THelper.Execute;
var
  i: Integer;
begin
  if Answers = '' then
  begin
    Sleep(200);
    serial.Cancel;
    Exit;
  end;
  for i := 1 to Length(Answers) do
  begin
    Requests := Requests + Receive(receiptEnd, 3, 2000);
    Send(receiptEnd, Answers[i]);
  end;
  Requests := Requests + Receive(receiptEnd, 3, 2000);
end;

procedure OpenBad; begin TNorvatPort.Open('tcp://bad:0').Free; end;
procedure OpenMissing; begin TNorvatPort.Open('COM55').Free; end;
procedure OpenAgain; begin TNorvatPort.Open('COM1').Free; end;
procedure OpenEmpty; begin TNorvatPort.Open('').Free; end;
procedure SpeedOnPrinter; begin labelPort.BaudRate := 19200; end;
procedure ZeroSpeed; begin serial.BaudRate := 0; end;
procedure NegativeRead; begin serial.Read(-1); end;
procedure NoEscPos; begin labelPort.EscPosStatus(200); end;
procedure LongRead; begin serial.Read(16, 10000); end;
procedure WriteGone; begin receipt.Write(#27'@'); end;
procedure StatusGone; begin receipt.Status; end;
procedure WithoutLibraryOpen; begin TNorvatPort.Open('COM1').Free; end;

procedure WithoutLibrary;
begin
  if NorvatLoad then
    Report('starts without the library and says so', 'the library loaded')
  else if Pos(NorvatLibrary, NorvatLoadError) = 0 then
    Report('starts without the library and says so', 'reason: ' + NorvatLoadError)
  else
    Report('starts without the library and says so', Unless(WithoutLibraryOpen, 'ENorvatLibraryError'));
  Writeln('Norvat: ', NorvatLoadError);
  Halt(failures);
end;

procedure Listing;
var
  ports: TNorvatPortInfos;
  p: TNorvatPortInfo;
  what: string;
  found: Integer;
begin
  ports := NorvatPorts;
  what := '';
  found := 0;
  for p in ports do
    if p.Serial = ReceiptSerial then
    begin
      Inc(found);
      if (p.Kind <> 'usb') or (p.VendorId <> '04b8') or (p.ProductId <> '0202') or
         (p.Manufacturer <> 'Acme') or (p.Model <> 'RP-80') or (p.CommandSet <> 'ESC/POS') or
         (p.DeviceId <> 'MFG:Acme;MDL:RP-80;CMD:ESC/POS;') or (p.Description <> 'RP-80') or
         (Pos('\\?\USB#VID_04B8&PID_0202#RP80A001#', p.Name) <> 1) then
        what := p.Name + '|' + p.Kind + '|' + p.Description + '|' + p.VendorId + '|' + p.ProductId +
                '|' + p.Manufacturer + '|' + p.Model + '|' + p.CommandSet + '|' + p.DeviceId;
    end
    else if (p.Name = '/dev/ttyS0') and ((p.Kind <> 'serial') or (p.Description <> 'COM1')) then
      what := what + ' COM1: ' + p.Kind + '|' + p.Description
    else if (p.Name = '/dev/lp0') and ((p.Kind <> 'parallel') or (p.Description <> 'LPT1')) then
      what := what + ' LPT1: ' + p.Kind + '|' + p.Description;
  if (found <> 1) or (Length(ports) <> 4) then
    what := what + ' ' + IntToStr(found) + ' receipt printers in ' + IntToStr(Length(ports)) + ' ports';
  Report('the listing: every maker''s printer with its fields', Trim(what));
end;

procedure PortsAtOnce;
var
  what: string;
  net: TNorvatPort;
begin
  what := RoundTrip(labelPort, labelEnd, #27'@'#0#255#13#10, 'A'#0'B'#255#10) +
          RoundTrip(receipt, receiptEnd, #29'V'#0, #128#0#127) +
          RoundTrip(serial, serialEnd, '~HS'#13#10, #0#254#13);
  if network <> '' then
  begin
    net := TNorvatPort.Open(AnsiString(network));
    try
      net.Command('~HS');
      if net.Read <> 'NET:~HS'#13#10 then
        what := what + ' network printer''s answer';
      if net.Status.Disconnected <> nsNo then
        what := what + ' network printer disconnected';
    finally
      net.Free;
    end;
  end;
  Report('three ports at once, each round trip exact', what);
  what := Unless(OpenBad, 'ENorvatArgumentError:-1:22') + Unless(OpenMissing, 'ENorvatError:-2:2') +
          Unless(OpenAgain, 'ENorvatAccessError:-3:') + RoundTrip(labelPort, labelEnd, #1, #2) +
          RoundTrip(receipt, receiptEnd, #3, #4) + RoundTrip(serial, serialEnd, #5, #6);
  Report('a refused open leaves every open port working', what);
end;

function Tri(t: TNorvatTriState): string;
begin
  Result := Copy('?ny', Ord(t) + 1, 1);
end;

{ PaperOut, Offline, Error, CoverOpen, Dsr, Cts, Dcd, Disconnected, Ready as ?, n or y. }
function Flags(const s: TNorvatStatus): string;
begin
  Result := Tri(s.PaperOut) + Tri(s.Offline) + Tri(s.Error) + Tri(s.CoverOpen) + Tri(s.Dsr) +
            Tri(s.Cts) + Tri(s.Dcd) + Tri(s.Disconnected) + Tri(s.Ready);
end;

procedure Statuses;
var
  what: string;
  helper: THelper;
  s: TNorvatStatus;
begin
  what := '';
  PrinterStatus := $18; { selected, no error, paper }
  if Flags(receipt.Status) <> 'nnn?????y' then
    what := what + ' fine printer ' + Flags(receipt.Status);
  PrinterStatus := $28; { paper empty, not selected }
  if Flags(receipt.Status) <> 'yyn?????n' then
    what := what + ' out of paper ' + Flags(receipt.Status);
  ModemLines := $100 or $40; { TIOCM_DSR, TIOCM_CAR }
  if Flags(serial.Status) <> '????yny??' then
    what := what + ' modem lines ' + Flags(serial.Status);
  Report('status: a printer''s status byte, a serial line''s modem lines, unknown bits unknown', Trim(what));

  Send(receiptEnd, #$12#$12); { earlier status bytes: not answers }
  Sleep(100);
  helper := THelper.Create(True);
  helper.Answers := #$1A#$32; { offline; stopped at the paper end }
  helper.Start;
  s := receipt.EscPosStatus(800);
  helper.WaitFor;
  what := '';
  if helper.Requests <> #16#4#1#16#4#2#16#4#4 then
    what := 'requests ' + Shown(helper.Requests);
  if (s.Answered <> 2) or (Flags(s) <> 'yynn????n') or (s.DrawerOpen <> nsNo) or
     (s.PaperLow <> nsUnknown) or (s.CutterError <> nsUnknown) then
    what := what + ' status ' + IntToStr(s.Answered) + ' ' + Flags(s);
  helper.Free;
  Report('ESC/POS status: old input discarded, answers one by one, a printer that stops answering', what);
end;

function getenv(name: PAnsiChar): PAnsiChar; cdecl; external 'c';

{ The line settings as stty sees them. The test bed's UMOCKDEV_DIR is in libc's environment only:
  the Pascal runtime hands a child the environment the program started with. }
function Stty(const node: string): string;
var
  output: AnsiString;
begin
  output := '';
  RunCommand('env', ['UMOCKDEV_DIR=' + string(getenv('UMOCKDEV_DIR')), 'stty', '-F', node], output);
  Result := output;
end;

procedure SerialSpeed;
var
  what: string;
begin
  what := '';
  if (serial.BaudRate <> 9600) or (Pos('speed 9600 baud', Stty('/dev/ttyS0')) = 0) then
    what := 'after open: ' + Stty('/dev/ttyS0');
  serial.BaudRate := 19200;
  if (serial.BaudRate <> 19200) or (Pos('speed 19200 baud', Stty('/dev/ttyS0')) = 0) then
    what := what + ' after 19200: ' + Stty('/dev/ttyS0');
  Report('serial line: 9600 bit/s on open, then the speed set', what);
end;

procedure ErrorsAndTimeouts;
var
  what: string;
  started: QWord;
  helper: THelper;
  code, sent: Integer;
  big: AnsiString;
begin
  what := Unless(SpeedOnPrinter, 'ENorvatUnsupportedError:-6:') + Unless(NoEscPos, 'ENorvatTimeoutError:-5:');
  Receive(labelEnd, 3, 300);
  started := GetTickCount64;
  if (labelPort.Read(16, 700) <> '') or (GetTickCount64 - started < 650) or (GetTickCount64 - started > 1400) then
    what := what + ' a read of 700 ms took ' + IntToStr(GetTickCount64 - started) + ' ms';
  { The device end reads nothing: the pty fills, and the write is given up within 500 ms. }
  SetLength(big, 1 shl 20);
  for code := 1 to Length(big) do
    big[code] := AnsiChar(code * 7);
  started := GetTickCount64;
  sent := labelPort.Write(big, 500);
  if (sent <= 0) or (sent >= Length(big)) or (GetTickCount64 - started > 2000) or
     (Receive(labelEnd, Length(big), 1000) <> Copy(big, 1, sent)) then
    what := what + ' a write given up said ' + IntToStr(sent) + ' bytes went out';
  helper := THelper.Create(False);
  started := GetTickCount64;
  what := what + Unless(LongRead, 'ENorvatCancelledError:-8:');
  if GetTickCount64 - started > 2000 then
    what := what + ' cancelled after ' + IntToStr(GetTickCount64 - started) + ' ms';
  helper.WaitFor;
  helper.Free;
  what := what + RoundTrip(serial, serialEnd, #7, #8);
  { The printer pulled out: its records go, and its pty hangs up. }
  umockdev_testbed_remove_device(bed, '/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/usbmisc/lp2');
  umockdev_testbed_remove_device(bed, '/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0');
  umockdev_testbed_remove_device(bed, '/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4');
  FpDup2(FpOpen('/dev/null', O_RDWR), receiptEnd);
  what := what + Unless(WriteGone, 'ENorvatError:-7:') + Unless(StatusGone, 'ENorvatError:-7:') +
          RoundTrip(labelPort, labelEnd, #9, #10);
  for code := NORVAT_ERR_SYSTEM to NORVAT_ERR_ARGUMENT do
    what := what + ' ' + NorvatErrorClass(code).ClassName;
  if what <> ' ENorvatError ENorvatCancelledError ENorvatError ENorvatUnsupportedError ' +
              'ENorvatTimeoutError ENorvatAccessError ENorvatAccessError ENorvatError ENorvatArgumentError' then
    Report('each failure raises its class with both codes; timeouts and Cancel reach the call', what)
  else
    Report('each failure raises its class with both codes; timeouts and Cancel reach the call', '');
  Report('bad arguments raise EArgumentException', Unless(OpenEmpty, 'EArgumentException') +
         Unless(ZeroSpeed, 'EArgumentException') + Unless(NegativeRead, 'EArgumentException'));
end;

begin
  if ParamStr(1) = '--without-library' then
    WithoutLibrary;
  network := GetEnvironmentVariable('NORVAT_TEST_PRINTER');
  StartTestbed;
  Listing;
  labelPort := TNorvatPort.Open(LabelListing);
  receipt := TNorvatPort.Open(AnsiString('#' + ReceiptSerial));
  serial := TNorvatPort.Open('COM1');
  try
    PortsAtOnce;
    Statuses;
    SerialSpeed;
    ErrorsAndTimeouts;
  finally
    serial.Free;
    receipt.Free;
    labelPort.Free;
  end;
  Report('a freed port is closed: it opens again', Unless(OpenAgain, 'nothing'));
  if TNorvatPort.Version <> 'Ver1.2 2011/8/1' then
    Report('version text', TNorvatPort.Version)
  else
    Report('version text', '');
  g_object_unref(bed);
  if failures = 0 then
    Writeln('all cases passed')
  else
    Writeln(failures, ' case(s) failed');
  Halt(failures);
end.
