{ Norvat.pas against libNorvat.so, inside
    umockdev-run -d tests/bindings/devices.umockdev -s /dev/usb/lp0=tests/bindings/printer.script
  in the order the printer's script wants its bytes. One line per case, "ok NAME" or
  "FAIL NAME: why"; the exit status is the number of failures. With --without-library it is
  run where the library cannot be found, and checks that it starts and says so. }
program norvat_test;

{$MODE DELPHI}

uses
  SysUtils, Process, Norvat;

const
  Listing = 'Label printer front desk#LBL0042';

var
  failures: Integer = 0;

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

function Stty(const node: string): string;
var
  output: AnsiString;
begin
  output := '';
  RunCommand('stty', ['-F', node], output);
  Result := output;
end;

{ The exception Action raises: its class name and, for ENorvatError, the code after a colon. }
type
  TAction = procedure;

function Raised(Action: TAction): string;
begin
  Result := 'nothing';
  try
    Action;
  except
    on e: ENorvatError do
      Result := e.ClassName + ':' + IntToStr(e.Code);
    on e: Exception do
      Result := e.ClassName;
  end;
end;

var
  port, other: TNorvatPort;

procedure OpenMissing; begin TNorvatPort.Open('COM55').Free; end;
procedure OpenEmpty; begin TNorvatPort.Open('').Free; end;
procedure OpenTooLong; begin TNorvatPort.Open('COM1234567890123').Free; end;
procedure ZeroSpeed; begin port.BaudRate := 0; end;
procedure NegativeRead; begin port.Read(-1); end;
procedure StaleCommand; begin other.Command('~HS'); end;
procedure SpeedOnParallel; begin port.BaudRate := 19200; end;
procedure FreeFunction; begin openport('1'); end;

procedure WithoutLibrary;
begin
  if NorvatLoad then
    Report('starts without the library and says so', 'the library loaded')
  else if Pos(NorvatLibrary, NorvatLoadError) = 0 then
    Report('starts without the library and says so', 'reason: ' + NorvatLoadError)
  else if Raised(FreeFunction) <> 'ENorvatLibraryError' then
    Report('starts without the library and says so', 'openport raised ' + Raised(FreeFunction))
  else
    Report('starts without the library and says so', '');
  Writeln('Norvat: ', NorvatLoadError);
  Halt(failures);
end;

{ A network printer by its address, through the class, as any port. }
procedure NetworkPrinter;
var
  printer: TNorvatPort;
  answer: AnsiString;
begin
  printer := TNorvatPort.Open(AnsiString(GetEnvironmentVariable('NORVAT_TEST_PRINTER')));
  try
    printer.Command('~HS');
    answer := printer.Read;
  finally
    printer.Free;
  end;
  if answer <> 'NET:~HS'#13#10 then
    Report('a network printer by its address', 'answer ' + Shown(answer))
  else
    Report('a network printer by its address', '');
end;

procedure PortClass;
var
  printers: TNorvatPrinters;
  what: string;
begin
  what := '';
  printers := TNorvatPort.UsbPrinters;
  if (Length(printers) <> 1) or (printers[0] <> Listing) then
    what := 'UsbPrinters: ' + IntToStr(Length(printers));
  port := TNorvatPort.Open('COM1');
  try
    if port.BaudRate <> 9600 then
      what := what + ' BaudRate after open ' + IntToStr(port.BaudRate);
    port.BaudRate := 19200;
    if (port.BaudRate <> 19200) or (Pos('speed 19200 baud', Stty('/dev/ttyS0')) = 0) then
      what := what + ' BaudRate 19200: ' + Stty('/dev/ttyS0');
    if Raised(ZeroSpeed) <> 'EArgumentException' then
      what := what + ' BaudRate 0 raised ' + Raised(ZeroSpeed);
    if Raised(NegativeRead) <> 'EArgumentException' then
      what := what + ' Read(-1) raised ' + Raised(NegativeRead);
    other := port;
    port := TNorvatPort.Open('LPT1');
    if Raised(StaleCommand) <> 'ENorvatError:' + IntToStr(NORVAT_E_NO_PORT) then
      what := what + ' a replaced port raised ' + Raised(StaleCommand);
    if Raised(SpeedOnParallel) <> 'ENorvatError:25' then { ENOTTY }
      what := what + ' a speed on LPT1 raised ' + Raised(SpeedOnParallel);
    other.Free;
    if not port.IsOpen then
      what := what + ' freeing the replaced port closed the new one';
  finally
    port.Free;
  end;
  if Raised(OpenMissing) <> 'ENorvatError:2' then
    what := what + ' COM55 raised ' + Raised(OpenMissing);
  if Raised(OpenEmpty) <> 'EArgumentException' then
    what := what + ' an empty name raised ' + Raised(OpenEmpty);
  if Raised(OpenTooLong) <> 'EArgumentException' then
    what := what + ' a name over 15 raised ' + Raised(OpenTooLong);
  Report('TNorvatPort: speed, ENorvatError with the code, EArgumentException', Trim(what));
end;

var
  printer: TNorvatListingBuffer;
  answer, raw: AnsiString;
  started: QWord;
begin
  if ParamStr(1) = '--without-library' then
    WithoutLibrary;
  FillChar(printer, SizeOf(printer), $A5);
  if (FindFirstUSB(@printer[0]) <> 1) or (AnsiString(PAnsiChar(@printer[0])) <> Listing) then
    Report('lists the emulated USB printer', 'got ' + PAnsiChar(@printer[0]))
  else if (FindNextUSB(@printer[0]) <> 0) or (NorvatLastError <> NORVAT_E_NO_MORE_ITEMS) then
    Report('lists the emulated USB printer', 'a second printer, or reason ' + IntToStr(NorvatLastError))
  else
    Report('lists the emulated USB printer', '');

  if not NorvatOpen(Listing) then
    Report('opens by listing text and talks to the printer', 'open: ' + IntToStr(NorvatLastError))
  else
  begin
    sendcommand('~HS');
    answer := NorvatRead;
    raw := #27'@'#0#255#13#10;
    if answer <> 'READY'#13#10 then
      Report('opens by listing text and talks to the printer', 'answer ' + Shown(answer))
    else if sendbuf(PAnsiChar(raw), Length(raw)) <> 6 then
      Report('opens by listing text and talks to the printer', 'raw write ' + IntToStr(NorvatLastError))
    else
    begin
      answer := NorvatRead;
      if answer <> 'A'#0'B'#255#10 then
        Report('opens by listing text and talks to the printer', 'binary answer ' + Shown(answer))
      else
      begin
        started := GetTickCount64;
        answer := NorvatRead;
        if (answer <> '') or (NorvatLastError <> NORVAT_E_TIMEOUT) or (GetTickCount64 - started > 800) then
          Report('opens by listing text and talks to the printer', 'empty read: ' + Shown(answer) +
                 'reason ' + IntToStr(NorvatLastError))
        else
          Report('opens by listing text and talks to the printer', '');
      end;
    end;
    closeport;
  end;

  if not NorvatOpen('COM1') then
    Report('serial port speed', 'open: ' + IntToStr(NorvatLastError))
  else if Pos('speed 9600 baud', Stty('/dev/ttyS0')) = 0 then
    Report('serial port speed', 'after open: ' + Stty('/dev/ttyS0'))
  else if (setbaudrate(19200) = 0) or (Pos('speed 19200 baud', Stty('/dev/ttyS0')) = 0) then
    Report('serial port speed', 'after 19200: ' + Stty('/dev/ttyS0'))
  else
    Report('serial port speed', '');
  closeport;

  if NorvatOpen('COM55') or (NorvatLastError <> 2) then
    Report('a missing port fails with ENOENT', 'reason ' + IntToStr(NorvatLastError))
  else
    Report('a missing port fails with ENOENT', '');

  if (OpenUSB(nil) <> 0) or (NorvatLastError <> NORVAT_E_INVALID_ARGUMENT) then
    Report('nil and empty arguments fail with EINVAL', 'OpenUSB(nil): ' + IntToStr(NorvatLastError))
  else if NorvatOpen('') or (NorvatLastError <> NORVAT_E_INVALID_ARGUMENT) then
    Report('nil and empty arguments fail with EINVAL', 'NorvatOpen(''''): ' + IntToStr(NorvatLastError))
  else
    Report('nil and empty arguments fail with EINVAL', '');

  PortClass;
  if GetEnvironmentVariable('NORVAT_TEST_PRINTER') <> '' then
    NetworkPrinter;

  if NorvatVersion <> 'Ver1.2 2011/8/1' then
    Report('version text', NorvatVersion)
  else
    Report('version text', '');

  if failures = 0 then
    Writeln('all cases passed')
  else
    Writeln(failures, ' case(s) failed');
  Halt(failures);
end.
