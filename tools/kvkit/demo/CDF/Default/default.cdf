<?xml version="1.0"?>
<!-- The demo's channel template: KvCDF.dll copies this folder into each channel's own folder and
     writes the channel's values over the placeholders. -->
<CHANNEL HREF="index.htm" BASE="%BASE_URL%">
  <TITLE>%TITLE%</TITLE>
  <ABSTRACT>%ABSTRACT%</ABSTRACT>
</CHANNEL>
