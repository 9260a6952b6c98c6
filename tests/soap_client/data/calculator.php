<?php
// The Calculator served by PHP's SoapServer (router script for "php -S"):
// the same WSDL, the same operations and the same fault for a zero divisor.
// The WSDL path comes from the environment (CALC_WSDL).
class Calculator {
  public function Add($p) { return array('Result' => $p->a + $p->b); }
  public function Subtract($p) { return array('Result' => $p->a - $p->b); }
  public function Multiply($p) { return array('Result' => $p->a * $p->b); }
  public function Divide($p) {
    if ($p->b == 0) throw new SoapFault('Server', 'Division by zero (php)');
    return array('Result' => $p->a / $p->b);
  }
  public function Echo($p) { return array('Result' => $p->text); }
  public function Concat($p) { return array('Result' => $p->a . $p->b); }
}
ini_set('soap.wsdl_cache_enabled', '0');
$server = new SoapServer(getenv('CALC_WSDL'), array('cache_wsdl' => WSDL_CACHE_NONE));
$server->setClass('Calculator');
$server->handle();
