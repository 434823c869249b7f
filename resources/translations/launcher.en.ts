<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="launcher.about.title">
        <source>About Corvane Online</source>
        <translation>About Corvane Online</translation>
    </message>
    <message id="launcher.about.text">
        <source>&lt;p&gt;&lt;b&gt;Corvane Online Launcher&lt;/b&gt;&lt;/p&gt;&lt;p&gt;Copyright &amp;copy; %1&amp;ndash;%2 Kelmont GmbH. All rights reserved.&lt;/p&gt;&lt;p&gt;This launcher is built with the Qt toolkit, used under the terms of the GNU Lesser General Public License version 3: &lt;a href="%3"&gt;%4&lt;/a&gt;.&lt;/p&gt;&lt;p&gt;The source code of Qt&apos;s base module is available at &lt;a href="%5"&gt;%6&lt;/a&gt;.&lt;/p&gt;</source>
        <translation>&lt;p&gt;&lt;b&gt;Corvane Online Launcher&lt;/b&gt;&lt;/p&gt;&lt;p&gt;Copyright &amp;copy; %1&amp;ndash;%2 Kelmont GmbH. All rights reserved.&lt;/p&gt;&lt;p&gt;This launcher is built with the Qt toolkit, used under the terms of the GNU Lesser General Public License version 3: &lt;a href="%3"&gt;%4&lt;/a&gt;.&lt;/p&gt;&lt;p&gt;The source code of Qt&apos;s base module is available at &lt;a href="%5"&gt;%6&lt;/a&gt;.&lt;/p&gt;</translation>
    </message>
</context>
</TS>
