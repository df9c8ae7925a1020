{ Norvat for Delphi and Free Pascal: the ten exports of Norvat.dll (libNorvat.so.1 on Linux) as
  norvat.h declares them, cdecl with 8-bit texts, bound at run time, and a port class over them.

  uses Norvat;
  if not NorvatLoad then Writeln('Norvat: ', NorvatLoadError) else
  with TNorvatPort.Open('COM1') do try Command('~HS'); Writeln(Read); finally Free; end;

  The library is loaded when first needed (or by NorvatLoad), so a program without it starts and
  can say so. TNorvatPort raises ENorvatError with the platform's code for device failures and
  EArgumentException for bad arguments. The plain functions below keep the C interface: every
  one but closeport returns 0 on failure, and NorvatLastError is then the reason (GetLastError on
  Windows, errno on Linux; see the NORVAT_E_* constants). Without the library they raise
  ENorvatLibraryError. }
unit Norvat;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

uses
  SysUtils;

const
{$IFDEF MSWINDOWS}
  NorvatLibrary = 'Norvat.dll';
{$ELSE}
  NorvatLibrary = 'libNorvat.so.1';
{$ENDIF}

  { Buffer sizes the host must provide. }
  NORVAT_LISTING_BUFFER_SIZE = 191; { FindFirstUSB / FindNextUSB }
  NORVAT_VERSION_BUFFER_SIZE = 16;  { GetDllVersion }

  { The reasons the library sets itself: the Windows code, or the Linux errno. }
{$IFDEF MSWINDOWS}
  NORVAT_E_INVALID_ARGUMENT = 87;
  NORVAT_E_NO_PORT = 6;
  NORVAT_E_NOT_CONNECTED = 1167;
  NORVAT_E_NO_MORE_ITEMS = 259;
  NORVAT_E_TIMEOUT = 1460;
{$ELSE}
  NORVAT_E_INVALID_ARGUMENT = 22;
  NORVAT_E_NO_PORT = 9;
  NORVAT_E_NOT_CONNECTED = 19;
  NORVAT_E_NO_MORE_ITEMS = 2;
  NORVAT_E_TIMEOUT = 110;
{$ENDIF}

  { What every open sets a serial port to. }
  NORVAT_DEFAULT_BAUD_RATE = 9600;

type
  TNorvatListingBuffer = array[0..NORVAT_LISTING_BUFFER_SIZE - 1] of AnsiChar;
  TNorvatVersionBuffer = array[0..NORVAT_VERSION_BUFFER_SIZE - 1] of AnsiChar;

  { The exports, each bound by its own name when the library loads; nil before that. }
  TNorvatImports = record
    openport: function(selector: PAnsiChar): Integer; cdecl;
    OpenUSB: function(request: PAnsiChar): Integer; cdecl;
    FindFirstUSB: function(buffer: PAnsiChar): Integer; cdecl;
    FindNextUSB: function(buffer: PAnsiChar): Integer; cdecl;
    closeport: function: Integer; cdecl;
    setbaudrate: function(rate: Integer): Integer; cdecl;
    sendbuf: function(data: PAnsiChar; count: Integer): Integer; cdecl;
    sendcommand: function(text: PAnsiChar): Integer; cdecl;
    RcvBuf: function(buffer: PAnsiChar; count: Integer): Integer; cdecl;
    GetDllVersion: function(buffer: PAnsiChar): Integer; cdecl;
  end;

  { A device failure or a call the library refused; Code is the platform's code. }
  ENorvatError = class(Exception)
  private
    FCode: Integer;
  public
    constructor CreateCode(const Operation: string; ACode: Integer);
    property Code: Integer read FCode;
  end;

  { The library could not be loaded (see NorvatLoadError). }
  ENorvatLibraryError = class(Exception);

  TNorvatPrinters = array of AnsiString;

  { The port the library has open. The library holds one port per process: opening a port
    closes the one another TNorvatPort had, and that object then raises ENorvatError with
    NORVAT_E_NO_PORT. Free closes the port if it is still this object's. }
  TNorvatPort = class
  private
    FName: AnsiString;
    FBaudRate: Integer;
    procedure Check(const Operation: string);
    procedure SetSpeed(Value: Integer);
    function GetIsOpen: Boolean;
  public
    { COMn, LPT1, LPT2, a port number '0'-'9', a USB printer's listing text or serial, or on
      Linux a /dev/ path, or a network printer's 'tcp://HOST[:PORT]'; anything else goes to
      the library unchanged. }
    constructor Open(const Port: AnsiString);
    destructor Destroy; override;
    { Raw bytes with one write; the number that went out (fewer when the device stopped
      taking bytes: do not send those again). Raises when none went out. }
    function Write(const Data: AnsiString): Integer;
    { Text, then CR LF; raises unless all of it went out. }
    procedure Command(const Text: AnsiString);
    { What the device sent within about 450 ms, at most MaxBytes bytes; '' when nothing came. }
    function Read(MaxBytes: Integer = 4096): AnsiString;
    { The connected USB printers as 'description#serial' texts. }
    class function UsbPrinters: TNorvatPrinters;
    class function Version: AnsiString;
    property Name: AnsiString read FName;
    property IsOpen: Boolean read GetIsOpen;
    { The speed last set, or NORVAT_DEFAULT_BAUD_RATE; LPT and USB ports refuse a speed. }
    property BaudRate: Integer read FBaudRate write SetSpeed;
  end;

var
  NorvatImports: TNorvatImports;

{ Loads the library (once); False when it cannot be loaded, NorvatLoadError then says why. }
function NorvatLoad: Boolean;
function NorvatLoadError: string;

{ The exports as plain functions, loading the library on first use. }
function openport(selector: PAnsiChar): Integer;
function OpenUSB(request: PAnsiChar): Integer;
function FindFirstUSB(buffer: PAnsiChar): Integer;
function FindNextUSB(buffer: PAnsiChar): Integer;
function closeport: Integer;
function setbaudrate(rate: Integer): Integer;
function sendbuf(data: PAnsiChar; count: Integer): Integer;
function sendcommand(text: PAnsiChar): Integer;
function RcvBuf(buffer: PAnsiChar; count: Integer): Integer;
function GetDllVersion(buffer: PAnsiChar): Integer;

{ The reason the last call on this thread left. }
function NorvatLastError: Integer;

{ Opens COMn, LPT1, LPT2, a port number '0'-'9', a USB printer's listing text or serial, or on
  Linux a /dev/ path. An empty name fails with NORVAT_E_INVALID_ARGUMENT. }
function NorvatOpen(const Port: AnsiString): Boolean;

{ The library's version text, '' when it could not be read. }
function NorvatVersion: AnsiString;

{ What the device sent within about 450 ms, at most MaxBytes bytes; '' when nothing arrived
  (NorvatLastError is then NORVAT_E_TIMEOUT) or on failure. }
function NorvatRead(MaxBytes: Integer = 4096): AnsiString;

implementation

{$IFDEF FPC}
uses
  dynlibs;
{$ELSE}
uses
  Windows;
{$ENDIF}

{$IFDEF MSWINDOWS}
function GetLastError: Cardinal; stdcall; external 'kernel32.dll';
procedure SetLastError(code: Cardinal); stdcall; external 'kernel32.dll';

function NorvatLastError: Integer;
begin
  Result := Integer(GetLastError);
end;

procedure SetReason(code: Integer);
begin
  SetLastError(Cardinal(code));
end;
{$ELSE}
{ libNorvat sets libc's errno, which is not the Pascal runtime's own error variable. }
function __errno_location: PInteger; cdecl; external 'c';

function NorvatLastError: Integer;
begin
  Result := __errno_location^;
end;

procedure SetReason(code: Integer);
begin
  __errno_location^ := code;
end;
{$ENDIF}

var
  Loaded: Boolean = False;
  LoadFailure: string = '';
  Current: TNorvatPort = nil;

function NorvatLoad: Boolean;
var
  handle: {$IFDEF FPC}TLibHandle{$ELSE}HMODULE{$ENDIF};
  missing: string;

  function Entry(const Name: AnsiString): Pointer;
  begin
{$IFDEF FPC}
    Result := GetProcedureAddress(handle, Name);
{$ELSE}
    Result := GetProcAddress(handle, PAnsiChar(Name));
{$ENDIF}
    if Result = nil then
      missing := missing + ' ' + string(Name);
  end;

begin
  if Loaded then
  begin
    Result := True;
    Exit;
  end;
  handle := LoadLibrary(NorvatLibrary);
  if handle = {$IFDEF FPC}NilHandle{$ELSE}0{$ENDIF} then
  begin
{$IFDEF FPC}
    LoadFailure := NorvatLibrary + ' not found: ' + GetLoadErrorStr;
{$ELSE}
    LoadFailure := NorvatLibrary + ' not found: ' + SysErrorMessage(GetLastError);
{$ENDIF}
    Result := False;
    Exit;
  end;
  missing := '';
  @NorvatImports.openport := Entry('openport');
  @NorvatImports.OpenUSB := Entry('OpenUSB');
  @NorvatImports.FindFirstUSB := Entry('FindFirstUSB');
  @NorvatImports.FindNextUSB := Entry('FindNextUSB');
  @NorvatImports.closeport := Entry('closeport');
  @NorvatImports.setbaudrate := Entry('setbaudrate');
  @NorvatImports.sendbuf := Entry('sendbuf');
  @NorvatImports.sendcommand := Entry('sendcommand');
  @NorvatImports.RcvBuf := Entry('RcvBuf');
  @NorvatImports.GetDllVersion := Entry('GetDllVersion');
  if missing <> '' then
  begin
    LoadFailure := NorvatLibrary + ' lacks' + missing;
    FillChar(NorvatImports, SizeOf(NorvatImports), 0);
    Result := False;
    Exit;
  end;
  Loaded := True;
  Result := True;
end;

function NorvatLoadError: string;
begin
  Result := LoadFailure;
end;

procedure Need;
begin
  if not NorvatLoad then
    raise ENorvatLibraryError.Create(LoadFailure);
end;

function openport(selector: PAnsiChar): Integer;
begin
  Need;
  Result := NorvatImports.openport(selector);
end;

function OpenUSB(request: PAnsiChar): Integer;
begin
  Need;
  Result := NorvatImports.OpenUSB(request);
end;

function FindFirstUSB(buffer: PAnsiChar): Integer;
begin
  Need;
  Result := NorvatImports.FindFirstUSB(buffer);
end;

function FindNextUSB(buffer: PAnsiChar): Integer;
begin
  Need;
  Result := NorvatImports.FindNextUSB(buffer);
end;

function closeport: Integer;
begin
  Need;
  Result := NorvatImports.closeport();
end;

function setbaudrate(rate: Integer): Integer;
begin
  Need;
  Result := NorvatImports.setbaudrate(rate);
end;

function sendbuf(data: PAnsiChar; count: Integer): Integer;
begin
  Need;
  Result := NorvatImports.sendbuf(data, count);
end;

function sendcommand(text: PAnsiChar): Integer;
begin
  Need;
  Result := NorvatImports.sendcommand(text);
end;

function RcvBuf(buffer: PAnsiChar; count: Integer): Integer;
begin
  Need;
  Result := NorvatImports.RcvBuf(buffer, count);
end;

function GetDllVersion(buffer: PAnsiChar): Integer;
begin
  Need;
  Result := NorvatImports.GetDllVersion(buffer);
end;

function NorvatOpen(const Port: AnsiString): Boolean;
begin
  if Port = '' then
  begin
    SetReason(NORVAT_E_INVALID_ARGUMENT);
    Result := False;
  end
  else if Port = 'LPT1' then
    Result := openport('0') = 1
  else if Port = 'LPT2' then
    Result := openport('5') = 1
  else if (Length(Port) = 1) and (Port[1] >= '0') and (Port[1] <= '9') then
    Result := openport(PAnsiChar(Port)) = 1
  else
    Result := OpenUSB(PAnsiChar(Port)) = 1;
end;

function NorvatVersion: AnsiString;
var
  buffer: TNorvatVersionBuffer;
begin
  if GetDllVersion(@buffer[0]) = 0 then
    Result := ''
  else
    Result := AnsiString(PAnsiChar(@buffer[0]));
end;

function NorvatRead(MaxBytes: Integer): AnsiString;
var
  n, reason: Integer;
begin
  if MaxBytes <= 0 then
  begin
    Result := '';
    Exit;
  end;
  SetLength(Result, MaxBytes + 1); { the library puts a NUL after the bytes }
  n := RcvBuf(PAnsiChar(Result), MaxBytes);
  reason := NorvatLastError;
  SetLength(Result, n);
  SetReason(reason); { the reason stays readable after the string is cut to size }
end;

{ ENorvatError }

constructor ENorvatError.CreateCode(const Operation: string; ACode: Integer);
begin
  inherited Create(Operation + ': ' + SysErrorMessage(ACode) + ' (' + IntToStr(ACode) + ')');
  FCode := ACode;
end;

{ TNorvatPort }

constructor TNorvatPort.Open(const Port: AnsiString);
var
  code: Integer;
begin
  inherited Create;
  FName := Port;
  FBaudRate := NORVAT_DEFAULT_BAUD_RATE;
  if Port = '' then
    raise EArgumentException.Create('TNorvatPort.Open: the port name is empty');
  if Pos(#0, Port) > 0 then
    raise EArgumentException.Create('TNorvatPort.Open: the port name holds a NUL');
  if not NorvatOpen(Port) then
  begin
    code := NorvatLastError;
    { Only "no such USB printer" leaves the previous port open. }
    if code <> NORVAT_E_NOT_CONNECTED then
      Current := nil;
    if code = NORVAT_E_INVALID_ARGUMENT then
      raise EArgumentException.Create('TNorvatPort.Open: the library refused ' + string(Port));
    raise ENorvatError.CreateCode('open ' + string(Port), code);
  end;
  Current := Self;
end;

destructor TNorvatPort.Destroy;
begin
  if Current = Self then
  begin
    closeport;
    Current := nil;
  end;
  inherited Destroy;
end;

function TNorvatPort.GetIsOpen: Boolean;
begin
  Result := Current = Self;
end;

procedure TNorvatPort.Check(const Operation: string);
begin
  if Current <> Self then
    raise ENorvatError.CreateCode(Operation + ' ' + string(FName), NORVAT_E_NO_PORT);
end;

function TNorvatPort.Write(const Data: AnsiString): Integer;
var
  empty: AnsiChar;
begin
  Check('write');
  empty := #0;
  { A real buffer even for nothing: the library answers 1 for an empty write. }
  if Data = '' then
    Result := sendbuf(@empty, 0)
  else
    Result := sendbuf(PAnsiChar(Data), Length(Data));
  if Result = 0 then
    raise ENorvatError.CreateCode('write ' + string(FName), NorvatLastError);
  if Data = '' then
    Result := 0;
end;

procedure TNorvatPort.Command(const Text: AnsiString);
begin
  if Pos(#0, Text) > 0 then
    raise EArgumentException.Create('TNorvatPort.Command: the text holds a NUL');
  Check('command');
  if sendcommand(PAnsiChar(Text)) <> 1 then
    raise ENorvatError.CreateCode('command ' + string(FName), NorvatLastError);
end;

function TNorvatPort.Read(MaxBytes: Integer): AnsiString;
var
  code: Integer;
begin
  if MaxBytes < 0 then
    raise EArgumentException.Create('TNorvatPort.Read: MaxBytes must be 0 or more');
  Check('read');
  Result := NorvatRead(MaxBytes);
  code := NorvatLastError;
  { Nothing within the window is no data, not a failure; so is asking for 0. }
  if (Result = '') and (MaxBytes > 0) and (code <> NORVAT_E_TIMEOUT) then
    raise ENorvatError.CreateCode('read ' + string(FName), code);
end;

procedure TNorvatPort.SetSpeed(Value: Integer);
begin
  if Value <= 0 then
    raise EArgumentException.Create('TNorvatPort.BaudRate: the speed must be above 0');
  Check('set baud rate');
  if setbaudrate(Value) = 0 then
    raise ENorvatError.CreateCode('set baud rate ' + IntToStr(Value) + ' on ' + string(FName),
                                  NorvatLastError);
  FBaudRate := Value;
end;

class function TNorvatPort.UsbPrinters: TNorvatPrinters;
var
  buffer: TNorvatListingBuffer;
  found, code: Integer;
begin
  Result := nil;
  found := FindFirstUSB(@buffer[0]);
  while found <> 0 do
  begin
    SetLength(Result, Length(Result) + 1);
    Result[High(Result)] := AnsiString(PAnsiChar(@buffer[0]));
    found := FindNextUSB(@buffer[0]);
  end;
  code := NorvatLastError;
  if code <> NORVAT_E_NO_MORE_ITEMS then
    raise ENorvatError.CreateCode('list USB printers', code);
end;

class function TNorvatPort.Version: AnsiString;
begin
  Result := NorvatVersion;
  if Result = '' then
    raise ENorvatError.CreateCode('version', NorvatLastError);
end;

end.
