{ Norvat for Delphi and Free Pascal: the ten exports of Norvat.dll (libNorvat.so on Linux) as
  norvat.h declares them, cdecl with 8-bit texts, and a few helpers over them.

  uses Norvat;
  if NorvatOpen('COM1') then begin sendcommand('~HS'); Writeln(NorvatRead); closeport; end;

  Every function but closeport returns 0 on failure; NorvatLastError is then the reason:
  GetLastError on Windows, errno on Linux (see the NORVAT_E_* constants). }
unit Norvat;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  NorvatLibrary = 'Norvat.dll';
{$ELSE}
  NorvatLibrary = 'Norvat'; { libNorvat.so }
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

type
  TNorvatListingBuffer = array[0..NORVAT_LISTING_BUFFER_SIZE - 1] of AnsiChar;
  TNorvatVersionBuffer = array[0..NORVAT_VERSION_BUFFER_SIZE - 1] of AnsiChar;

function openport(selector: PAnsiChar): Integer; cdecl; external NorvatLibrary;
function OpenUSB(request: PAnsiChar): Integer; cdecl; external NorvatLibrary;
function FindFirstUSB(buffer: PAnsiChar): Integer; cdecl; external NorvatLibrary;
function FindNextUSB(buffer: PAnsiChar): Integer; cdecl; external NorvatLibrary;
function closeport: Integer; cdecl; external NorvatLibrary;
function setbaudrate(rate: Integer): Integer; cdecl; external NorvatLibrary;
function sendbuf(data: PAnsiChar; count: Integer): Integer; cdecl; external NorvatLibrary;
function sendcommand(text: PAnsiChar): Integer; cdecl; external NorvatLibrary;
function RcvBuf(buffer: PAnsiChar; count: Integer): Integer; cdecl; external NorvatLibrary;
function GetDllVersion(buffer: PAnsiChar): Integer; cdecl; external NorvatLibrary;

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

end.
