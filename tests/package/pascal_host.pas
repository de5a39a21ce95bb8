{ A console host of the user guide's Delphi and Free Pascal declarations, built
  with Free Pascal for i386-win32 and x86_64-win64. The declarations are the
  guide's block as the archive's README.md carries it, taken out into
  kwelmora_guide.inc; nothing here declares the library's functions.

    pascal_host.exe PORT ADDRESS HEX60

  runs the steps of host_sequence.h: opens COM<PORT>, reads the status, writes
  the record, reads it back and closes, a line per call as the C hosts print
  them, and exits with 0 when every step succeeded. Each result is printed
  whole (Ord), so that one declared wider than a byte shows the bits above the
  byte the library set. }
program pascal_host;

{$mode delphi}

uses
  SysUtils, Windows;

{$I kwelmora_guide.inc}

var
  Failed: Boolean = False;

{ The thread that opened the port takes the port's line events when it
  retrieves sent messages; a console host does that between calls. }
procedure Report(const Line: string; Succeeded: Boolean);
var
  Msg: TMsg;
begin
  PeekMessage(Msg, 0, 0, 0, PM_NOREMOVE);
  WriteLn(Line);
  Failed := Failed or not Succeeded;
end;

function Hex(const Rec: TKwelmoraRecord): string;
var
  I: Integer;
begin
  Result := '';
  for I := 0 to KwelmoraRecordSize - 1 do
    Result := Result + LowerCase(IntToHex(Rec[I], 2));
end;

var
  Rec, Back: TKwelmoraRecord;
  Address: Word;
  Status: Byte;
  Code: Int64;
  I: Integer;
begin
  Address := StrToInt(ParamStr(2));
  for I := 0 to KwelmoraRecordSize - 1 do
    Rec[I] := StrToInt('$' + Copy(ParamStr(3), 2 * I + 1, 2));
  FillChar(Back, SizeOf(Back), 0);

  Code := Ord(ZainicjowanoPortSzeregowyDlaZRV(StrToInt(ParamStr(1))));
  Report('init ' + IntToStr(Code), Code <> 0);
  if Code = 0 then
    Halt(1);
  Code := Ord(OdczytanieBajtuStatusuZRV(Status));
  if Code = 0 then
    Report('status 0 ' + IntToStr(Status), True)
  else
    Report('status ' + IntToStr(Code), False);
  Code := Ord(ZapisanieBajtowDoZRV(Address, @Rec[0]));
  Report('write ' + IntToStr(Code), Code = 0);
  Code := Ord(OdczytanieBajtowZZRV(Address, @Back[0]));
  Report('read ' + IntToStr(Code) + ' ' + Hex(Back),
    (Code = 0) and CompareMem(@Rec, @Back, SizeOf(Rec)));
  Code := Ord(OdinicjowanoPortSzeregowyDlaZRV);
  Report('deinit ' + IntToStr(Code), Code <> 0);
  Halt(Ord(Failed));
end.
