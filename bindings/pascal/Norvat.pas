{ Norvat for Delphi and Free Pascal: the exports of Norvat.dll (libNorvat.so.1 on Linux) as
  include/norvat.h declares them, cdecl with 8-bit texts on every platform, bound at run time;
  and TNorvatPort, one open port per object over the handle functions: any number open at once,
  each independent of the others. include/norvat.h is the manual: what each call does, how long
  it may block, what each result means.

  uses Norvat;
  var receipt, labels: TNorvatPort;
  receipt := TNorvatPort.Open('COM1');
  labels := TNorvatPort.Open('tcp://192.168.1.60');
  try
    if receipt.Status.Ready = nsNo then Writeln('receipt printer not ready');
    receipt.Write(#27'@Hello'#10); labels.Command('~HS'); Writeln(labels.Read(4096, 500));
  finally labels.Free; receipt.Free; end;

  The library is loaded when first needed (or by NorvatLoad), so a program without it starts and
  can say so; without it the calls raise ENorvatLibraryError. A failure the library reports
  raises ENorvatError with Code (its portable NORVAT_ERR_* code) and NativeCode (GetLastError on
  Windows, errno on Linux), as the class its code names:
    NORVAT_ERR_ARGUMENT              ENorvatArgumentError
    NORVAT_ERR_ACCESS, _BUSY         ENorvatAccessError
    NORVAT_ERR_TIMEOUT               ENorvatTimeoutError
    NORVAT_ERR_CANCELLED             ENorvatCancelledError
    NORVAT_ERR_UNSUPPORTED           ENorvatUnsupportedError
    _NOT_FOUND, _GONE, _SYSTEM       ENorvatError itself
  Arguments refused before the library is called raise EArgumentException. }
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

  { The portable results, the same on every platform. }
  NORVAT_ERR_ARGUMENT = -1;
  NORVAT_ERR_NOT_FOUND = -2;
  NORVAT_ERR_BUSY = -3;
  NORVAT_ERR_ACCESS = -4;
  NORVAT_ERR_TIMEOUT = -5;
  NORVAT_ERR_UNSUPPORTED = -6;
  NORVAT_ERR_GONE = -7;
  NORVAT_ERR_CANCELLED = -8;
  NORVAT_ERR_SYSTEM = -9;

  { A write's or a read's timeout: the library's own bounds. }
  NORVAT_TIMEOUT_DEFAULT = -1;

  { The fields of a listing entry. }
  NORVAT_FIELD_NAME = 0;
  NORVAT_FIELD_KIND = 1;
  NORVAT_FIELD_DESCRIPTION = 2;
  NORVAT_FIELD_SERIAL = 3;
  NORVAT_FIELD_VENDOR_ID = 4;
  NORVAT_FIELD_PRODUCT_ID = 5;
  NORVAT_FIELD_MANUFACTURER = 6;
  NORVAT_FIELD_MODEL = 7;
  NORVAT_FIELD_COMMAND_SET = 8;
  NORVAT_FIELD_DEVICE_ID = 9;

  { A port's state bits. }
  NORVAT_STATE_PAPER_OUT = $0001;
  NORVAT_STATE_OFFLINE = $0002;
  NORVAT_STATE_ERROR = $0004;
  NORVAT_STATE_COVER_OPEN = $0008;
  NORVAT_STATE_PAPER_LOW = $0010;
  NORVAT_STATE_FEED_BUTTON = $0020;
  NORVAT_STATE_DRAWER_OPEN = $0040;
  NORVAT_STATE_CUTTER_ERROR = $0080;
  NORVAT_STATE_UNRECOVERABLE = $0100;
  NORVAT_STATE_DSR = $0200;
  NORVAT_STATE_CTS = $0400;
  NORVAT_STATE_DCD = $0800;
  NORVAT_STATE_DISCONNECTED = $1000;
  NORVAT_STATE_NOT_READY = NORVAT_STATE_PAPER_OUT or NORVAT_STATE_OFFLINE or NORVAT_STATE_ERROR or
    NORVAT_STATE_COVER_OPEN or NORVAT_STATE_CUTTER_ERROR or NORVAT_STATE_UNRECOVERABLE or
    NORVAT_STATE_DISCONNECTED;

  { What every open sets a serial port to. }
  NORVAT_DEFAULT_BAUD_RATE = 9600;

type
  TNorvatListingBuffer = array[0..NORVAT_LISTING_BUFFER_SIZE - 1] of AnsiChar;
  TNorvatVersionBuffer = array[0..NORVAT_VERSION_BUFFER_SIZE - 1] of AnsiChar;

  TNorvatHandle = Pointer;   { norvat_port *, opaque }
  PNorvatHandle = ^TNorvatHandle;
  TNorvatPortList = Pointer; { norvat_port_list *, opaque }
  PNorvatPortList = ^TNorvatPortList;

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
    norvat_open: function(name: PAnsiChar; port: PNorvatHandle): Integer; cdecl;
    norvat_close: function(port: TNorvatHandle): Integer; cdecl;
    norvat_write: function(port: TNorvatHandle; data: Pointer; count, timeout_ms: Integer): Integer; cdecl;
    norvat_read: function(port: TNorvatHandle; buffer: Pointer; size, timeout_ms: Integer): Integer; cdecl;
    norvat_set_baud_rate: function(port: TNorvatHandle; rate: Integer): Integer; cdecl;
    norvat_cancel: function(port: TNorvatHandle): Integer; cdecl;
    norvat_list_ports: function(list: PNorvatPortList): Integer; cdecl;
    norvat_port_list_get: function(list: TNorvatPortList; index, field: Integer): PAnsiChar; cdecl;
    norvat_free_port_list: procedure(list: TNorvatPortList); cdecl;
    norvat_status: function(port: TNorvatHandle; state, known: PCardinal): Integer; cdecl;
    norvat_pending: function(port: TNorvatHandle): Integer; cdecl;
    norvat_discard_input: function(port: TNorvatHandle): Integer; cdecl;
    norvat_escpos_status: function(port: TNorvatHandle; timeout_ms: Integer; state: PCardinal): Integer; cdecl;
    norvat_error_text: function(result: Integer): PAnsiChar; cdecl;
  end;

  { A failure the library reported: Code is the portable NORVAT_ERR_* code, NativeCode the
    platform's (GetLastError on Windows, errno on Linux). }
  ENorvatError = class(Exception)
  private
    FCode, FNativeCode: Integer;
    FOperation: string;
  public
    constructor CreateCode(const AOperation: string; ACode, ANativeCode: Integer);
    property Code: Integer read FCode;
    property NativeCode: Integer read FNativeCode;
    property Operation: string read FOperation;
  end;
  ENorvatErrorClass = class of ENorvatError;
  ENorvatArgumentError = class(ENorvatError);
  ENorvatAccessError = class(ENorvatError);
  ENorvatTimeoutError = class(ENorvatError);
  ENorvatCancelledError = class(ENorvatError);
  ENorvatUnsupportedError = class(ENorvatError);

  { The library could not be loaded (see NorvatLoadError). }
  ENorvatLibraryError = class(Exception);

  { One port the system has now (norvat_list_ports): "" for what is unknown. }
  TNorvatPortInfo = record
    Name: AnsiString;         { what TNorvatPort.Open takes }
    Kind: AnsiString;         { 'serial', 'parallel' or 'usb' }
    Description: AnsiString;
    Serial: AnsiString;
    VendorId: AnsiString;     { four lower-case hex digits }
    ProductId: AnsiString;
    Manufacturer: AnsiString; { from the IEEE 1284 device ID }
    Model: AnsiString;
    CommandSet: AnsiString;
    DeviceId: AnsiString;
  end;
  TNorvatPortInfos = array of TNorvatPortInfo;

  { A bit of a port's state: nsUnknown where the port cannot report it. }
  TNorvatTriState = (nsUnknown, nsNo, nsYes);

  { A port's state (norvat_status, norvat_escpos_status). }
  TNorvatStatus = record
    State, Known: Cardinal; { NORVAT_STATE_* bits: what is so, and what the port reports at all }
    Answered: Integer;      { EscPosStatus: the requests answered, 1 to 4; Status: 0 }
    PaperOut, Offline, Error, CoverOpen, PaperLow, FeedButton, DrawerOpen, CutterError,
    Unrecoverable, Dsr, Cts, Dcd, Disconnected: TNorvatTriState;
    { nsNo when a known bit of NORVAT_STATE_NOT_READY is set, nsYes when some are known and none
      is, nsUnknown when the port reports none of them (a serial line's modem lines). }
    Ready: TNorvatTriState;
  end;

  { One open port. Calls on one port run one after another; Cancel may come from another
    thread. Free cancels the call in flight and closes the port: free it only once no other
    thread will call it again. }
  TNorvatPort = class
  private
    FHandle: TNorvatHandle;
    FName: AnsiString;
    FBaudRate: Integer;
    function Check(const Operation: string; Code: Integer): Integer;
    procedure SetSpeed(Value: Integer);
    function GetPending: Integer;
  public
    { 'COM1', 'LPT1', 'tcp://HOST[:PORT]', on Linux a /dev/ path, or a USB printer of any maker
      by the Name NorvatPorts lists, its serial or 'description#serial'. }
    constructor Open(const AName: AnsiString);
    destructor Destroy; override;
    { Raw bytes within TimeoutMs milliseconds; the number that went out (fewer when the device
      stopped taking them: the rest never goes out, and what went out must not be sent again).
      Raises when none went out. }
    function Write(const Data: AnsiString; TimeoutMs: Integer = NORVAT_TIMEOUT_DEFAULT): Integer;
    function WriteBuffer(const Buffer; Count: Integer; TimeoutMs: Integer = NORVAT_TIMEOUT_DEFAULT): Integer;
    { Text, then CR LF, as one write; raises unless all of it went out. }
    procedure Command(const Text: AnsiString; TimeoutMs: Integer = NORVAT_TIMEOUT_DEFAULT);
    { What the device sent, at most MaxBytes, waiting at most TimeoutMs for the first byte;
      '' when nothing came in time (no failure). }
    function Read(MaxBytes: Integer = 4096; TimeoutMs: Integer = NORVAT_TIMEOUT_DEFAULT): AnsiString;
    function Status: TNorvatStatus;
    { An ESC/POS printer's state from its real-time status requests; Answered says how many of
      the four were answered (the bits of the others are nsUnknown). }
    function EscPosStatus(TimeoutMs: Integer = NORVAT_TIMEOUT_DEFAULT): TNorvatStatus;
    { Throws away what the device sent and nobody read; the bytes the library saw. }
    function DiscardInput: Integer;
    { Ends the call in flight on this port; callable from any thread. }
    procedure Cancel;
    { The version text of GetDllVersion. }
    class function Version: AnsiString;
    property Name: AnsiString read FName;
    property Handle: TNorvatHandle read FHandle;
    { A serial line's speed: the one last set, or NORVAT_DEFAULT_BAUD_RATE; other ports raise
      ENorvatUnsupportedError. }
    property BaudRate: Integer read FBaudRate write SetSpeed;
    { A network printer's bytes not yet acknowledged; 0 where the platform cannot say. }
    property Pending: Integer read GetPending;
  end;

var
  NorvatImports: TNorvatImports;

{ Loads the library (once); False when it cannot be loaded, NorvatLoadError then says why. }
function NorvatLoad: Boolean;
function NorvatLoadError: string;

{ The platform's code the last call on this thread left: GetLastError, or errno. }
function NorvatLastError: Integer;

{ Every port that can be opened now, of every kind and maker. }
function NorvatPorts: TNorvatPortInfos;

{ The class of ENorvatError a portable code raises. }
function NorvatErrorClass(Code: Integer): ENorvatErrorClass;

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

function NorvatLastError: Integer;
begin
  Result := Integer(GetLastError);
end;
{$ELSE}
{ libNorvat sets libc's errno, which is not the Pascal runtime's own error variable. }
function __errno_location: PInteger; cdecl; external 'c';

function NorvatLastError: Integer;
begin
  Result := __errno_location^;
end;
{$ENDIF}

var
  Loaded: Boolean = False;
  LoadFailure: string = '';

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
  @NorvatImports.norvat_open := Entry('norvat_open');
  @NorvatImports.norvat_close := Entry('norvat_close');
  @NorvatImports.norvat_write := Entry('norvat_write');
  @NorvatImports.norvat_read := Entry('norvat_read');
  @NorvatImports.norvat_set_baud_rate := Entry('norvat_set_baud_rate');
  @NorvatImports.norvat_cancel := Entry('norvat_cancel');
  @NorvatImports.norvat_list_ports := Entry('norvat_list_ports');
  @NorvatImports.norvat_port_list_get := Entry('norvat_port_list_get');
  @NorvatImports.norvat_free_port_list := Entry('norvat_free_port_list');
  @NorvatImports.norvat_status := Entry('norvat_status');
  @NorvatImports.norvat_pending := Entry('norvat_pending');
  @NorvatImports.norvat_discard_input := Entry('norvat_discard_input');
  @NorvatImports.norvat_escpos_status := Entry('norvat_escpos_status');
  @NorvatImports.norvat_error_text := Entry('norvat_error_text');
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

function NorvatErrorClass(Code: Integer): ENorvatErrorClass;
begin
  case Code of
    NORVAT_ERR_ARGUMENT: Result := ENorvatArgumentError;
    NORVAT_ERR_BUSY, NORVAT_ERR_ACCESS: Result := ENorvatAccessError;
    NORVAT_ERR_TIMEOUT: Result := ENorvatTimeoutError;
    NORVAT_ERR_CANCELLED: Result := ENorvatCancelledError;
    NORVAT_ERR_UNSUPPORTED: Result := ENorvatUnsupportedError;
  else
    Result := ENorvatError;
  end;
end;

{ Raises the class of Code, with the platform's code the failed call left: read by the caller
  right after the call, before building a text can change it (GetLastError). }
procedure RaiseFailure(const Operation: string; Code, Native: Integer);
begin
  raise NorvatErrorClass(Code).CreateCode(Operation, Code, Native);
end;

function NorvatPorts: TNorvatPortInfos;
var
  list: TNorvatPortList;
  count, i: Integer;

  function Field(Index, Which: Integer): AnsiString;
  begin
    Result := AnsiString(NorvatImports.norvat_port_list_get(list, Index, Which));
  end;

begin
  Need;
  Result := nil;
  count := NorvatImports.norvat_list_ports(@list);
  if count < 0 then
    RaiseFailure('list ports', count, NorvatLastError);
  try
    SetLength(Result, count);
    for i := 0 to count - 1 do
    begin
      Result[i].Name := Field(i, NORVAT_FIELD_NAME);
      Result[i].Kind := Field(i, NORVAT_FIELD_KIND);
      Result[i].Description := Field(i, NORVAT_FIELD_DESCRIPTION);
      Result[i].Serial := Field(i, NORVAT_FIELD_SERIAL);
      Result[i].VendorId := Field(i, NORVAT_FIELD_VENDOR_ID);
      Result[i].ProductId := Field(i, NORVAT_FIELD_PRODUCT_ID);
      Result[i].Manufacturer := Field(i, NORVAT_FIELD_MANUFACTURER);
      Result[i].Model := Field(i, NORVAT_FIELD_MODEL);
      Result[i].CommandSet := Field(i, NORVAT_FIELD_COMMAND_SET);
      Result[i].DeviceId := Field(i, NORVAT_FIELD_DEVICE_ID);
    end;
  finally
    NorvatImports.norvat_free_port_list(list);
  end;
end;

{ The record of what the library reported: each bit nsUnknown outside Known. }
function MakeStatus(State, Known: Cardinal; Answered: Integer): TNorvatStatus;

  function Bit(Mask: Cardinal): TNorvatTriState;
  begin
    if Known and Mask = 0 then
      Result := nsUnknown
    else if State and Mask <> 0 then
      Result := nsYes
    else
      Result := nsNo;
  end;

begin
  Result.State := State and Known;
  Result.Known := Known;
  Result.Answered := Answered;
  Result.PaperOut := Bit(NORVAT_STATE_PAPER_OUT);
  Result.Offline := Bit(NORVAT_STATE_OFFLINE);
  Result.Error := Bit(NORVAT_STATE_ERROR);
  Result.CoverOpen := Bit(NORVAT_STATE_COVER_OPEN);
  Result.PaperLow := Bit(NORVAT_STATE_PAPER_LOW);
  Result.FeedButton := Bit(NORVAT_STATE_FEED_BUTTON);
  Result.DrawerOpen := Bit(NORVAT_STATE_DRAWER_OPEN);
  Result.CutterError := Bit(NORVAT_STATE_CUTTER_ERROR);
  Result.Unrecoverable := Bit(NORVAT_STATE_UNRECOVERABLE);
  Result.Dsr := Bit(NORVAT_STATE_DSR);
  Result.Cts := Bit(NORVAT_STATE_CTS);
  Result.Dcd := Bit(NORVAT_STATE_DCD);
  Result.Disconnected := Bit(NORVAT_STATE_DISCONNECTED);
  if Known and NORVAT_STATE_NOT_READY = 0 then
    Result.Ready := nsUnknown
  else if State and Known and NORVAT_STATE_NOT_READY <> 0 then
    Result.Ready := nsNo
  else
    Result.Ready := nsYes;
end;

const
  { The bits norvat_escpos_status reports, by how many requests were answered (asked in the
    order DLE EOT 1, 2, 4, 3; see include/norvat.h). }
  EscPosKnown: array[0..4] of Cardinal = (
    0,
    NORVAT_STATE_OFFLINE or NORVAT_STATE_DRAWER_OPEN,
    NORVAT_STATE_OFFLINE or NORVAT_STATE_DRAWER_OPEN or NORVAT_STATE_COVER_OPEN or
      NORVAT_STATE_FEED_BUTTON or NORVAT_STATE_PAPER_OUT or NORVAT_STATE_ERROR,
    NORVAT_STATE_OFFLINE or NORVAT_STATE_DRAWER_OPEN or NORVAT_STATE_COVER_OPEN or
      NORVAT_STATE_FEED_BUTTON or NORVAT_STATE_PAPER_OUT or NORVAT_STATE_ERROR or
      NORVAT_STATE_PAPER_LOW,
    NORVAT_STATE_OFFLINE or NORVAT_STATE_DRAWER_OPEN or NORVAT_STATE_COVER_OPEN or
      NORVAT_STATE_FEED_BUTTON or NORVAT_STATE_PAPER_OUT or NORVAT_STATE_ERROR or
      NORVAT_STATE_PAPER_LOW or NORVAT_STATE_CUTTER_ERROR or NORVAT_STATE_UNRECOVERABLE);

{ ENorvatError }

constructor ENorvatError.CreateCode(const AOperation: string; ACode, ANativeCode: Integer);
var
  text: string;
begin
  if Loaded then
    text := string(AnsiString(NorvatImports.norvat_error_text(ACode)))
  else
    text := 'error ' + IntToStr(ACode);
  if ANativeCode <> 0 then
    text := text + ' (' + SysErrorMessage(ANativeCode) + ', ' + IntToStr(ANativeCode) + ')';
  inherited Create(AOperation + ': ' + text);
  FOperation := AOperation;
  FCode := ACode;
  FNativeCode := ANativeCode;
end;

{ TNorvatPort }

constructor TNorvatPort.Open(const AName: AnsiString);
var
  code, native: Integer;
begin
  inherited Create;
  FName := AName;
  FBaudRate := NORVAT_DEFAULT_BAUD_RATE;
  if AName = '' then
    raise EArgumentException.Create('TNorvatPort.Open: the port name is empty');
  if Pos(#0, AName) > 0 then
    raise EArgumentException.Create('TNorvatPort.Open: the port name holds a NUL');
  Need;
  code := NorvatImports.norvat_open(PAnsiChar(AName), @FHandle);
  native := NorvatLastError;
  if code <> 0 then
  begin
    FHandle := nil; { untouched by a failed open; Destroy, which the raise runs, closes nothing }
    RaiseFailure('open ' + string(AName), code, native);
  end;
end;

destructor TNorvatPort.Destroy;
begin
  { Cancels a call in flight from another thread and waits for it. }
  if FHandle <> nil then
    NorvatImports.norvat_close(FHandle);
  FHandle := nil;
  inherited Destroy;
end;

function TNorvatPort.Check(const Operation: string; Code: Integer): Integer;
var
  native: Integer;
begin
  native := NorvatLastError;
  if Code < 0 then
    RaiseFailure(Operation + ' ' + string(FName), Code, native);
  Result := Code;
end;

function TNorvatPort.Write(const Data: AnsiString; TimeoutMs: Integer): Integer;
begin
  Result := Check('write', NorvatImports.norvat_write(FHandle, Pointer(Data), Length(Data), TimeoutMs));
end;

function TNorvatPort.WriteBuffer(const Buffer; Count: Integer; TimeoutMs: Integer): Integer;
begin
  if Count < 0 then
    raise EArgumentException.Create('TNorvatPort.WriteBuffer: Count must be 0 or more');
  Result := Check('write', NorvatImports.norvat_write(FHandle, @Buffer, Count, TimeoutMs));
end;

procedure TNorvatPort.Command(const Text: AnsiString; TimeoutMs: Integer);
var
  line: AnsiString;
  sent: Integer;
begin
  line := Text + #13#10;
  sent := Write(line, TimeoutMs);
  if sent <> Length(line) then
    raise ENorvatTimeoutError.CreateCode('command ' + string(FName) + ': ' + IntToStr(sent) +
                                         ' of ' + IntToStr(Length(line)) + ' bytes went out',
                                         NORVAT_ERR_TIMEOUT, 0);
end;

function TNorvatPort.Read(MaxBytes: Integer; TimeoutMs: Integer): AnsiString;
var
  n: Integer;
begin
  if MaxBytes < 0 then
    raise EArgumentException.Create('TNorvatPort.Read: MaxBytes must be 0 or more');
  SetLength(Result, MaxBytes);
  n := Check('read', NorvatImports.norvat_read(FHandle, Pointer(Result), MaxBytes, TimeoutMs));
  SetLength(Result, n);
end;

procedure TNorvatPort.SetSpeed(Value: Integer);
begin
  if Value <= 0 then
    raise EArgumentException.Create('TNorvatPort.BaudRate: the speed must be above 0');
  Check('set baud rate', NorvatImports.norvat_set_baud_rate(FHandle, Value));
  FBaudRate := Value;
end;

function TNorvatPort.Status: TNorvatStatus;
var
  state, known: Cardinal;
begin
  Check('status', NorvatImports.norvat_status(FHandle, @state, @known));
  Result := MakeStatus(state, known, 0);
end;

function TNorvatPort.EscPosStatus(TimeoutMs: Integer): TNorvatStatus;
var
  state: Cardinal;
  answered: Integer;
begin
  answered := Check('ESC/POS status', NorvatImports.norvat_escpos_status(FHandle, TimeoutMs, @state));
  if answered > 4 then
    answered := 4;
  Result := MakeStatus(state, EscPosKnown[answered], answered);
end;

function TNorvatPort.GetPending: Integer;
begin
  Result := Check('pending', NorvatImports.norvat_pending(FHandle));
end;

function TNorvatPort.DiscardInput: Integer;
begin
  Result := Check('discard input', NorvatImports.norvat_discard_input(FHandle));
end;

procedure TNorvatPort.Cancel;
begin
  Check('cancel', NorvatImports.norvat_cancel(FHandle));
end;

class function TNorvatPort.Version: AnsiString;
var
  buffer: TNorvatVersionBuffer;
begin
  Need;
  if NorvatImports.GetDllVersion(@buffer[0]) = 0 then
    RaiseFailure('version', NORVAT_ERR_SYSTEM, NorvatLastError);
  Result := AnsiString(PAnsiChar(@buffer[0]));
end;

end.
